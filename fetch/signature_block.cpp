#include "fetch/signature_block.h"

#include <cstring>
#include <limits>

namespace {

const char kOpening[] = "<?vexlo-signature";
const char kKeyPart[] = " key=\"";
const char kSerialPart[] = "\" serial=\"";
const char kSerialEnd[] = "\"";
const char kSignaturePart[] = " signature=\"";
const char kClosing[] = "\"?>";
const std::size_t kMaxSerialDigits = 20;  // 18446744073709551615

// Reads text at *at against the literal, moving past it.
bool Expect(const std::string& text, std::size_t* at, const char* literal) {
  const std::size_t length = std::strlen(literal);
  if (text.compare(*at, length, literal) != 0) return false;
  *at += length;
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;  // upper case too: one spelling of each block
}

// Exactly 2 * size lower-case hex digits into bytes.
bool ReadHex(const std::string& text, std::size_t* at, unsigned char* bytes, std::size_t size) {
  if (text.size() - *at < 2 * size) return false;
  for (std::size_t i = 0; i < size; ++i) {
    const int high = HexDigit(text[*at + 2 * i]);
    const int low = HexDigit(text[*at + 2 * i + 1]);
    if (high < 0 || low < 0) return false;
    bytes[i] = static_cast<unsigned char>(high * 16 + low);
  }
  *at += 2 * size;
  return true;
}

// A decimal number without sign or leading zero that fits 64 bits.
bool ReadSerial(const std::string& text, std::size_t* at, std::uint64_t* serial) {
  const std::size_t start = *at;
  std::uint64_t value = 0;
  const std::uint64_t most = std::numeric_limits<std::uint64_t>::max();
  while (*at < text.size() && text[*at] >= '0' && text[*at] <= '9') {
    const auto digit = static_cast<std::uint64_t>(text[*at] - '0');
    if (*at - start >= kMaxSerialDigits || value > (most - digit) / 10) return false;
    value = value * 10 + digit;
    ++*at;
  }
  const std::size_t digits = *at - start;
  if (digits == 0 || (digits > 1 && text[start] == '0')) return false;
  *serial = value;
  return true;
}

bool IsXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

bool HasSignatureBlock(const std::string& text) { return text.find(kOpening) != std::string::npos; }

CheckOutcome ReadSignatureBlock(const std::string& text, SignatureBlock* block) {
  const std::size_t start = text.find(kOpening);
  if (start == std::string::npos) return CheckOutcome::kUnsigned;
  // One block: a second one, before or after, would leave it open which counts.
  if (text.find(kOpening, start + 1) != std::string::npos) return CheckOutcome::kBlockMalformed;

  std::size_t at = start + std::strlen(kOpening);
  SignatureBlock read;
  unsigned char name[kKeyNameLength / 2];
  const std::size_t nameAt = at + std::strlen(kKeyPart);
  if (!Expect(text, &at, kKeyPart) || !ReadHex(text, &at, name, sizeof name))
    return CheckOutcome::kBlockMalformed;
  std::memcpy(read.keyName, text.data() + nameAt, kKeyNameLength);
  read.keyName[kKeyNameLength] = '\0';
  if (!Expect(text, &at, kSerialPart) || !ReadSerial(text, &at, &read.serial) ||
      !Expect(text, &at, kSerialEnd)) {
    return CheckOutcome::kBlockMalformed;
  }
  // The signature covers everything up to here.
  read.signedLength = at;
  if (!Expect(text, &at, kSignaturePart) ||
      !ReadHex(text, &at, read.signature, sizeof read.signature) || !Expect(text, &at, kClosing)) {
    return CheckOutcome::kBlockMalformed;
  }
  for (; at < text.size(); ++at) {
    if (!IsXmlSpace(text[at])) return CheckOutcome::kBlockMalformed;
  }
  *block = read;
  return CheckOutcome::kOk;
}

bool ParseSignatureBlock(const std::string& text, SignatureBlock* block) {
  return ReadSignatureBlock(text, block) == CheckOutcome::kOk;
}

CheckOutcome CheckSerial(const std::string& documentText, const std::string& storedText) {
  SignatureBlock document;
  const CheckOutcome read = ReadSignatureBlock(documentText, &document);
  if (read != CheckOutcome::kOk) return read;
  SignatureBlock stored;
  if (!ParseSignatureBlock(storedText, &stored)) return CheckOutcome::kOk;
  return document.serial > stored.serial ? CheckOutcome::kOk : CheckOutcome::kOldSerial;
}

bool IsSerialAccepted(const std::string& documentText, const std::string& storedText) {
  return CheckSerial(documentText, storedText) == CheckOutcome::kOk;
}
