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

void DestroyCngKey(BCRYPT_KEY_HANDLE key) { BCryptDestroyKey(key); }
using UniqueCngKey = handles::UniqueAny<BCRYPT_KEY_HANDLE, &DestroyCngKey>;

UniqueCngAlgorithm OpenAlgorithm(const wchar_t* name) {
  UniqueCngAlgorithm algorithm;
  const NTSTATUS status = BCryptOpenAlgorithmProvider(algorithm.put(), name, nullptr, 0);
  if (!Ok(status)) {
    // Nothing was opened, whatever the call left in the handle.
    algorithm.release();
    ThrowStatus("Opening the CNG provider", status);
  }
  return algorithm;
}

std::vector<uint8_t> KeyBlob(ULONG magic, const uint8_t* key, size_t size) {
  std::vector<uint8_t> blob(sizeof(BCRYPT_ECCKEY_BLOB) + size);
  BCRYPT_ECCKEY_BLOB header{magic, 32};
  std::memcpy(blob.data(), &header, sizeof header);
  std::memcpy(blob.data() + sizeof header, key, size);
  return blob;
}

bool ImportKey(const UniqueCngAlgorithm& algorithm, const wchar_t* type, const std::vector<uint8_t>& blob,
               UniqueCngKey& key) {
  return Ok(BCryptImportKeyPair(algorithm.get(), nullptr, type, key.put(),
                                const_cast<PUCHAR>(blob.data()), static_cast<ULONG>(blob.size()), 0));
}

}  // namespace

void CloseCngAlgorithm(void* algorithm) { BCryptCloseAlgorithmProvider(algorithm, 0); }
void DestroyCngHash(void* hash) { BCryptDestroyHash(hash); }

cSha256::cSha256() {
  UniqueCngAlgorithm algorithm = OpenAlgorithm(BCRYPT_SHA256_ALGORITHM);
  BCRYPT_HASH_HANDLE hash = nullptr;
  const NTSTATUS status = BCryptCreateHash(algorithm.get(), &hash, nullptr, 0, nullptr, 0, 0);
  if (!Ok(status)) ThrowStatus("Starting a SHA-256", status);
  Algorithm_ = std::move(algorithm);
  Hash_.reset(hash);
}

cSha256::~cSha256() = default;

void cSha256::Add(const void* data, size_t size) {
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  while (size > 0) {
    const ULONG part = size > 0x40000000 ? 0x40000000 : static_cast<ULONG>(size);
    const NTSTATUS status = BCryptHashData(Hash_.get(), const_cast<PUCHAR>(bytes), part, 0);
    if (!Ok(status)) ThrowStatus("SHA-256", status);
    bytes += part;
    size -= part;
  }
}

void cSha256::Finish(uint8_t (&digest)[SHA256_SIZE]) {
  const NTSTATUS status = BCryptFinishHash(Hash_.get(), digest, SHA256_SIZE, 0);
  if (!Ok(status)) ThrowStatus("SHA-256", status);
}

void HashFile(const std::string& path, uint64_t& size, uint8_t (&digest)[SHA256_SIZE]) {
  cFile file;
  const handles::ScopeExit close([&] { file.Close(); });
  file.Open(path, GENERIC_READ, FILE_SHARE_READ);
  cSha256 hash;
  size = FeedWholeFile(file, hash);
  hash.Finish(digest);
}

void NewMakerKey(uint8_t (&privateKey)[MAKER_PRIVATE_KEY_SIZE], uint8_t (&publicKey)[MAKER_PUBLIC_KEY_SIZE]) {
  const UniqueCngAlgorithm algorithm = OpenAlgorithm(BCRYPT_ECDSA_P256_ALGORITHM);
  UniqueCngKey key;
  NTSTATUS status = BCryptGenerateKeyPair(algorithm.get(), key.put(), 256, 0);
  if (Ok(status)) status = BCryptFinalizeKeyPair(key.get(), 0);
  if (!Ok(status)) ThrowStatus("Making a P-256 key pair", status);
  uint8_t blob[sizeof(BCRYPT_ECCKEY_BLOB) + MAKER_PRIVATE_KEY_SIZE];
  ULONG length = 0;
  status = BCryptExportKey(key.get(), nullptr, BCRYPT_ECCPRIVATE_BLOB, blob, sizeof blob, &length, 0);
  if (!Ok(status)) ThrowStatus("Exporting the key pair", status);
  if (length != sizeof blob) ThrowText("Exporting the key pair gave a blob of an unexpected size.");
  std::memcpy(privateKey, blob + sizeof(BCRYPT_ECCKEY_BLOB), MAKER_PRIVATE_KEY_SIZE);
  std::memcpy(publicKey, privateKey, MAKER_PUBLIC_KEY_SIZE);
  SecureZeroMemory(blob, sizeof blob);
}

void SignDigest(const uint8_t (&privateKey)[MAKER_PRIVATE_KEY_SIZE], const uint8_t (&digest)[SHA256_SIZE],
                uint8_t (&signature)[MAKER_SIGNATURE_SIZE]) {
  const UniqueCngAlgorithm algorithm = OpenAlgorithm(BCRYPT_ECDSA_P256_ALGORITHM);
  std::vector<uint8_t> blob = KeyBlob(BCRYPT_ECDSA_PRIVATE_P256_MAGIC, privateKey, MAKER_PRIVATE_KEY_SIZE);
  UniqueCngKey key;
  const bool imported = ImportKey(algorithm, BCRYPT_ECCPRIVATE_BLOB, blob, key);
  SecureZeroMemory(blob.data(), blob.size());
  if (!imported) ThrowText("The private key is not a P-256 key.");
  ULONG length = 0;
  const NTSTATUS status = BCryptSignHash(key.get(), nullptr, const_cast<PUCHAR>(digest), SHA256_SIZE, signature,
                                         MAKER_SIGNATURE_SIZE, &length, 0);
  if (!Ok(status)) ThrowStatus("Signing", status);
  if (length != MAKER_SIGNATURE_SIZE) ThrowText("Signing gave a signature of an unexpected size.");
}

bool VerifyDigest(const uint8_t (&publicKey)[MAKER_PUBLIC_KEY_SIZE], const uint8_t (&digest)[SHA256_SIZE],
                  const uint8_t (&signature)[MAKER_SIGNATURE_SIZE]) noexcept {
  try {
    const UniqueCngAlgorithm algorithm = OpenAlgorithm(BCRYPT_ECDSA_P256_ALGORITHM);
    UniqueCngKey key;
    if (!ImportKey(algorithm, BCRYPT_ECCPUBLIC_BLOB,
                   KeyBlob(BCRYPT_ECDSA_PUBLIC_P256_MAGIC, publicKey, MAKER_PUBLIC_KEY_SIZE), key)) {
      return false;
    }
    return Ok(BCryptVerifySignature(key.get(), nullptr, const_cast<PUCHAR>(digest), SHA256_SIZE,
                                    const_cast<PUCHAR>(signature), MAKER_SIGNATURE_SIZE, 0));
  } catch (...) {
    return false;
  }
}
