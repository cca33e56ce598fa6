// Any bytes as a downloaded body and as a stored version.xml: the block is
// read in full or refused, and what is read is exactly what the text says.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <string>

#include "fetch/signature_block.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  const std::string stored = provider.ConsumeRandomLengthString(4096);
  const std::string text = provider.ConsumeRemainingBytesAsString();

  SignatureBlock block;
  if (ParseSignatureBlock(text, &block)) {
    FUZZ_CHECK(HasSignatureBlock(text));
    // The block, written out again from what was read, is what the text holds.
    std::string hex;
    char byte[3];
    for (unsigned char b : block.signature) {
      std::snprintf(byte, sizeof byte, "%02x", b);
      hex += byte;
    }
    const std::string tail = " signature=\"" + hex + "\"?>";
    FUZZ_CHECK(block.signedLength + tail.size() <= text.size());
    FUZZ_CHECK(text.compare(block.signedLength, tail.size(), tail) == 0);
    const std::string head = "<?vexlo-signature key=\"" + std::string(block.keyName) +
                             "\" serial=\"" + std::to_string(block.serial) + "\"";
    FUZZ_CHECK(block.signedLength >= head.size());
    FUZZ_CHECK(text.compare(block.signedLength - head.size(), head.size(), head) == 0);
    FUZZ_CHECK(IsSerialAccepted(text, "") == true);
  } else {
    FUZZ_CHECK(!IsSerialAccepted(text, stored));
    FUZZ_CHECK(CheckSerial(text, stored) ==
               (HasSignatureBlock(text) ? CheckOutcome::kBlockMalformed : CheckOutcome::kUnsigned));
  }
  return 0;
}
