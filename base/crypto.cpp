// CNG wrappers. Each handle kind has one owner type that closes it; the
// key blobs are BCRYPT_ECCKEY_BLOB headers followed by the key bytes.
#include "base/crypto.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "base/errors.h"
#include "base/files.h"

namespace {

bool Ok(NTSTATUS status) { return status >= 0; }

[[noreturn]] void ThrowStatus(const char* what, NTSTATUS status) {
  char text[96];
  std::snprintf(text, sizeof text, "%s failed (status 0x%08lX).", what, static_cast<unsigned long>(status));
  ThrowText(text);
}

class cAlgorithm {
 public:
  explicit cAlgorithm(const wchar_t* name) {
    const NTSTATUS status = BCryptOpenAlgorithmProvider(&Handle_, name, nullptr, 0);
    if (!Ok(status)) {
      Handle_ = nullptr;
      ThrowStatus("Opening the CNG provider", status);
    }
  }
  ~cAlgorithm() {
    if (Handle_ != nullptr) BCryptCloseAlgorithmProvider(Handle_, 0);
  }
  cAlgorithm(const cAlgorithm&) = delete;
  cAlgorithm& operator=(const cAlgorithm&) = delete;
  BCRYPT_ALG_HANDLE Get() const { return Handle_; }
  BCRYPT_ALG_HANDLE Release() {
    BCRYPT_ALG_HANDLE handle = Handle_;
    Handle_ = nullptr;
    return handle;
  }

 private:
  BCRYPT_ALG_HANDLE Handle_ = nullptr;
};

class cKey {
 public:
  cKey() = default;
  ~cKey() {
    if (Handle_ != nullptr) BCryptDestroyKey(Handle_);
  }
  cKey(const cKey&) = delete;
  cKey& operator=(const cKey&) = delete;
  BCRYPT_KEY_HANDLE Get() const { return Handle_; }
  BCRYPT_KEY_HANDLE* Out() { return &Handle_; }

 private:
  BCRYPT_KEY_HANDLE Handle_ = nullptr;
};

std::vector<uint8_t> KeyBlob(ULONG magic, const uint8_t* key, size_t size) {
  std::vector<uint8_t> blob(sizeof(BCRYPT_ECCKEY_BLOB) + size);
  BCRYPT_ECCKEY_BLOB header{magic, 32};
  std::memcpy(blob.data(), &header, sizeof header);
  std::memcpy(blob.data() + sizeof header, key, size);
  return blob;
}

bool ImportKey(const cAlgorithm& algorithm, const wchar_t* type, const std::vector<uint8_t>& blob, cKey& key) {
  return Ok(BCryptImportKeyPair(algorithm.Get(), nullptr, type, key.Out(),
                                const_cast<PUCHAR>(blob.data()), static_cast<ULONG>(blob.size()), 0));
}

}  // namespace

cSha256::cSha256() {
  cAlgorithm algorithm(BCRYPT_SHA256_ALGORITHM);
  BCRYPT_HASH_HANDLE hash = nullptr;
  const NTSTATUS status = BCryptCreateHash(algorithm.Get(), &hash, nullptr, 0, nullptr, 0, 0);
  if (!Ok(status)) ThrowStatus("Starting a SHA-256", status);
  Algorithm_ = algorithm.Release();
  Hash_ = hash;
}

cSha256::~cSha256() {
  if (Hash_ != nullptr) BCryptDestroyHash(Hash_);
  if (Algorithm_ != nullptr) BCryptCloseAlgorithmProvider(Algorithm_, 0);
}

void cSha256::Add(const void* data, size_t size) {
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  while (size > 0) {
    const ULONG part = size > 0x40000000 ? 0x40000000 : static_cast<ULONG>(size);
    const NTSTATUS status = BCryptHashData(Hash_, const_cast<PUCHAR>(bytes), part, 0);
    if (!Ok(status)) ThrowStatus("SHA-256", status);
    bytes += part;
    size -= part;
  }
}

void cSha256::Finish(uint8_t (&digest)[SHA256_SIZE]) {
  const NTSTATUS status = BCryptFinishHash(Hash_, digest, SHA256_SIZE, 0);
  if (!Ok(status)) ThrowStatus("SHA-256", status);
}

void HashFile(const std::string& path, uint64_t& size, uint8_t (&digest)[SHA256_SIZE]) {
  cFile file;
  try {
    file.Open(path, GENERIC_READ, FILE_SHARE_READ);
    cSha256 hash;
    size = FeedWholeFile(file, hash);
    hash.Finish(digest);
  } catch (...) {
    file.Close();
    throw;
  }
  file.Close();
}

void NewMakerKey(uint8_t (&privateKey)[MAKER_PRIVATE_KEY_SIZE], uint8_t (&publicKey)[MAKER_PUBLIC_KEY_SIZE]) {
  cAlgorithm algorithm(BCRYPT_ECDSA_P256_ALGORITHM);
  cKey key;
  NTSTATUS status = BCryptGenerateKeyPair(algorithm.Get(), key.Out(), 256, 0);
  if (Ok(status)) status = BCryptFinalizeKeyPair(key.Get(), 0);
  if (!Ok(status)) ThrowStatus("Making a P-256 key pair", status);
  uint8_t blob[sizeof(BCRYPT_ECCKEY_BLOB) + MAKER_PRIVATE_KEY_SIZE];
  ULONG length = 0;
  status = BCryptExportKey(key.Get(), nullptr, BCRYPT_ECCPRIVATE_BLOB, blob, sizeof blob, &length, 0);
  if (!Ok(status)) ThrowStatus("Exporting the key pair", status);
  if (length != sizeof blob) ThrowText("Exporting the key pair gave a blob of an unexpected size.");
  std::memcpy(privateKey, blob + sizeof(BCRYPT_ECCKEY_BLOB), MAKER_PRIVATE_KEY_SIZE);
  std::memcpy(publicKey, privateKey, MAKER_PUBLIC_KEY_SIZE);
  SecureZeroMemory(blob, sizeof blob);
}

void SignDigest(const uint8_t (&privateKey)[MAKER_PRIVATE_KEY_SIZE], const uint8_t (&digest)[SHA256_SIZE],
                uint8_t (&signature)[MAKER_SIGNATURE_SIZE]) {
  cAlgorithm algorithm(BCRYPT_ECDSA_P256_ALGORITHM);
  std::vector<uint8_t> blob = KeyBlob(BCRYPT_ECDSA_PRIVATE_P256_MAGIC, privateKey, MAKER_PRIVATE_KEY_SIZE);
  cKey key;
  const bool imported = ImportKey(algorithm, BCRYPT_ECCPRIVATE_BLOB, blob, key);
  SecureZeroMemory(blob.data(), blob.size());
  if (!imported) ThrowText("The private key is not a P-256 key.");
  ULONG length = 0;
  const NTSTATUS status = BCryptSignHash(key.Get(), nullptr, const_cast<PUCHAR>(digest), SHA256_SIZE, signature,
                                         MAKER_SIGNATURE_SIZE, &length, 0);
  if (!Ok(status)) ThrowStatus("Signing", status);
  if (length != MAKER_SIGNATURE_SIZE) ThrowText("Signing gave a signature of an unexpected size.");
}

bool VerifyDigest(const uint8_t (&publicKey)[MAKER_PUBLIC_KEY_SIZE], const uint8_t (&digest)[SHA256_SIZE],
                  const uint8_t (&signature)[MAKER_SIGNATURE_SIZE]) noexcept {
  try {
    cAlgorithm algorithm(BCRYPT_ECDSA_P256_ALGORITHM);
    cKey key;
    if (!ImportKey(algorithm, BCRYPT_ECCPUBLIC_BLOB,
                   KeyBlob(BCRYPT_ECDSA_PUBLIC_P256_MAGIC, publicKey, MAKER_PUBLIC_KEY_SIZE), key)) {
      return false;
    }
    return Ok(BCryptVerifySignature(key.Get(), nullptr, const_cast<PUCHAR>(digest), SHA256_SIZE,
                                    const_cast<PUCHAR>(signature), MAKER_SIGNATURE_SIZE, 0));
  } catch (...) {
    return false;
  }
}
