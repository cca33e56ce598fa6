// The publisher's signature of a version document. It travels in the
// document itself, as one processing instruction after the root element, so
// that any static host serves it unchanged and every XML reader skips it:
//
//   <?vexlo-signature key="0123456789abcdef" serial="1765291726" signature="<128 hex>"?>
//
// key names the publisher's public key (the first 16 hex digits of the
// SHA-256 of its DER form in base64, as one line); serial is a decimal
// number that only moves forward; signature is ECDSA P-256 with SHA-256, r
// then s, 32 bytes each, in lower-case hex. What is signed is every byte of
// the document before the signature attribute: the body as served, then
// `<?vexlo-signature key="..." serial="..."` through the serial's closing
// quote, so that the key's name and the serial are signed with it. Only
// white space may follow the block.
// scripts/sign-document writes it; by hand the signature is
//   openssl dgst -sha256 -sign private.pem < signed-bytes
// with its DER (r, s) turned into the two fixed-width numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/check_outcome.h"

const std::size_t kKeyNameLength = 16;   // hex digits
const std::size_t kSignatureBytes = 64;  // r and s of P-256
const std::size_t kPublicKeyBytes = 64;  // x and y of the P-256 point

struct SignatureBlock {
  std::size_t signedLength = 0;  // bytes of the text the signature covers
  char keyName[kKeyNameLength + 1] = "";
  std::uint64_t serial = 0;
  unsigned char signature[kSignatureBytes] = {};
};

// Whether the text carries the block's opening at all, well formed or not.
bool HasSignatureBlock(const std::string& text);

// Reads the block of a text: exactly one block, in exactly the form above,
// followed by nothing but white space. kUnsigned without any opening of a
// block, kBlockMalformed for anything else that is not that form. Takes
// time in proportion to the text and no memory of its own.
CheckOutcome ReadSignatureBlock(const std::string& text, SignatureBlock* block);
bool ParseSignatureBlock(const std::string& text, SignatureBlock* block);

// The serial rule: a signed document counts only when its serial is greater
// than that of the stored version.xml (else kOldSerial). A stored file
// without a block that can be read (the first one, laid down with the
// client, or one that something other than the service cut short or broke)
// lets any signed document count: a file that only this PC can change must
// never stop updates for good. A stored block that can be read keeps the
// rule, whichever key it names.
CheckOutcome CheckSerial(const std::string& documentText, const std::string& storedText);
bool IsSerialAccepted(const std::string& documentText, const std::string& storedText);
