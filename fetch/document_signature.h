// Whether a downloaded body is signed by one of the publisher's keys. The
// block is read by fetch/signature_block.h; the key import and the check of
// the signature are the platform's (CNG), in fetch/cng_signature.cpp.
#pragma once

#include <cstddef>
#include <string>

#include "fetch/signature_block.h"

struct DocumentKey {
  char name[kKeyNameLength + 1];         // as the block names it
  unsigned char point[kPublicKeyBytes];  // x then y, big-endian
};

// The keys this build trusts, chosen when it is configured
// (VEXLO_DOCUMENT_KEYS); none in a build without them.
extern const DocumentKey* const g_documentKeys;
extern const std::size_t g_documentKeyCount;

// With keys built in, only a signed body is a version document.
bool DocumentKeysBuiltIn();

// kOk when text carries a well-formed block that names one of the keys and
// whose signature over the bytes before it verifies with that key; else why
// not (kUnsigned, kBlockMalformed, kUnknownKey, kBadSignature, or
// kLibraryMissing when CNG cannot be had). Fails closed: any doubt, any
// failure of the platform, is a refusal.
CheckOutcome CheckSignature(const std::string& text, const DocumentKey* keys, std::size_t count);
bool IsSignedBy(const std::string& text, const DocumentKey* keys, std::size_t count);

// CheckSignature with the built-in keys.
CheckOutcome CheckPublisherSignature(const std::string& text);
