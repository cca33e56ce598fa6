#include <windows.h>

#include <bcrypt.h>

#include <cstring>
#include <memory>

#include "fetch/document_signature.h"
#include "fetch/system_libraries.h"

namespace {

// mingw's bcrypt.h has no NT_SUCCESS; every CNG call here counts only with
// exactly this status.
const NTSTATUS kStatusSuccess = 0;
const ULONG kSha256Bytes = 32;
// Keys imported once and kept for the life of the process: the built-in
// ones are a handful. Past this many, a key is imported for its one check.
const std::size_t kKeptKeys = 8;

struct CloseProvider {
  void operator()(void* provider) const { BCryptCloseAlgorithmProvider(provider, 0); }
};
using Provider = std::unique_ptr<void, CloseProvider>;
using KeyHandle = std::unique_ptr<void, decltype(&BCryptDestroyKey)>;
using HashHandle = std::unique_ptr<void, decltype(&BCryptDestroyHash)>;

struct KeptKey {
  DocumentKey key;
  BCRYPT_KEY_HANDLE handle;
};

// Request threads may overlap (one given up, the next one started): the
// providers and the kept keys are used under this lock.
SRWLOCK s_lock = SRWLOCK_INIT;
Provider s_sha256;
Provider s_ecdsa;
KeptKey s_kept[kKeptKeys];
std::size_t s_keptCount = 0;

bool OpenProvider(Provider* provider, const wchar_t* algorithm) {
  if (*provider) return true;
  BCRYPT_ALG_HANDLE handle = nullptr;
  if (BCryptOpenAlgorithmProvider(&handle, algorithm, nullptr, 0) != kStatusSuccess) return false;
  provider->reset(handle);
  return true;
}

// BCryptHash would do it in one call, but only from Windows 10 on.
bool Sha256(const std::string& text, std::size_t length, unsigned char (&digest)[kSha256Bytes]) {
  if (!OpenProvider(&s_sha256, BCRYPT_SHA256_ALGORITHM)) return false;
  BCRYPT_HASH_HANDLE raw = nullptr;
  if (BCryptCreateHash(s_sha256.get(), &raw, nullptr, 0, nullptr, 0, 0) != kStatusSuccess) {
    return false;
  }
  HashHandle hash(raw, &BCryptDestroyHash);
  // The body is bounded far below 4 GiB (fetch/document_gate.h).
  auto* bytes = reinterpret_cast<PUCHAR>(const_cast<char*>(text.data()));
  return BCryptHashData(hash.get(), bytes, static_cast<ULONG>(length), 0) == kStatusSuccess &&
         BCryptFinishHash(hash.get(), digest, kSha256Bytes, 0) == kStatusSuccess;
}

KeyHandle ImportKey(const DocumentKey& key) {
  struct {
    BCRYPT_ECCKEY_BLOB header;
    unsigned char point[kPublicKeyBytes];
  } blob = {{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, kPublicKeyBytes / 2}, {}};
  static_assert(sizeof blob == sizeof(BCRYPT_ECCKEY_BLOB) + kPublicKeyBytes,
                "the key blob is its header followed by x and y");
  std::memcpy(blob.point, key.point, sizeof blob.point);
  BCRYPT_KEY_HANDLE handle = nullptr;
  if (!OpenProvider(&s_ecdsa, BCRYPT_ECDSA_P256_ALGORITHM) ||
      BCryptImportKeyPair(s_ecdsa.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, &handle,
                          reinterpret_cast<PUCHAR>(&blob), sizeof blob, 0) != kStatusSuccess) {
    handle = nullptr;
  }
  return KeyHandle(handle, &BCryptDestroyKey);
}

bool SameKey(const DocumentKey& a, const DocumentKey& b) {
  return std::memcmp(a.name, b.name, sizeof a.name) == 0 &&
         std::memcmp(a.point, b.point, sizeof a.point) == 0;
}

bool Verify(const DocumentKey& key, const unsigned char (&digest)[kSha256Bytes],
            const unsigned char (&signature)[kSignatureBytes]) {
  BCRYPT_KEY_HANDLE handle = nullptr;
  for (std::size_t i = 0; i < s_keptCount && handle == nullptr; ++i) {
    if (SameKey(s_kept[i].key, key)) handle = s_kept[i].handle;
  }
  KeyHandle once(nullptr, &BCryptDestroyKey);
  if (handle == nullptr) {
    KeyHandle imported = ImportKey(key);
    if (!imported) return false;
    if (s_keptCount < kKeptKeys) {
      s_kept[s_keptCount] = {key, imported.get()};
      ++s_keptCount;
      handle = imported.release();
    } else {
      once = std::move(imported);
      handle = once.get();
    }
  }
  // Only exactly success counts: STATUS_INVALID_SIGNATURE and every other
  // answer refuse the document.
  return BCryptVerifySignature(handle, nullptr, const_cast<PUCHAR>(digest), kSha256Bytes,
                               const_cast<PUCHAR>(signature), kSignatureBytes, 0) == kStatusSuccess;
}

}  // namespace

bool DocumentKeysBuiltIn() { return g_documentKeyCount > 0; }

CheckOutcome CheckSignature(const std::string& text, const DocumentKey* keys, std::size_t count) {
  SignatureBlock block;
  const CheckOutcome read = ReadSignatureBlock(text, &block);
  if (read != CheckOutcome::kOk) return read;
  const DocumentKey* key = nullptr;
  for (std::size_t i = 0; i < count && key == nullptr; ++i) {
    if (std::memcmp(keys[i].name, block.keyName, sizeof block.keyName) == 0) key = &keys[i];
  }
  if (key == nullptr) return CheckOutcome::kUnknownKey;
  if (!BindSystemLibrary(SystemLibrary::kCng)) return CheckOutcome::kLibraryMissing;

  AcquireSRWLockExclusive(&s_lock);
  unsigned char digest[kSha256Bytes];
  const bool verified =
      Sha256(text, block.signedLength, digest) && Verify(*key, digest, block.signature);
  ReleaseSRWLockExclusive(&s_lock);
  return verified ? CheckOutcome::kOk : CheckOutcome::kBadSignature;
}

bool IsSignedBy(const std::string& text, const DocumentKey* keys, std::size_t count) {
  return CheckSignature(text, keys, count) == CheckOutcome::kOk;
}

CheckOutcome CheckPublisherSignature(const std::string& text) {
  return CheckSignature(text, g_documentKeys, g_documentKeyCount);
}
