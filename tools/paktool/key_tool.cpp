// Key files and the signed list from the maker's side. The signing and the
// checks themselves are the product's (store/list_trust), so what paktool
// accepts is what the screensaver accepts.
#include "tools/paktool/key_tool.h"

#include <windows.h>

#include <cctype>
#include <cstring>

#include "base/errors.h"
#include "base/files.h"
#include "store/list_trust.h"
#include "store/sync_file.h"
#include "tools/paktool/description.h"
#include "tools/paktool/paktool.h"

namespace {

std::string Trimmed(const std::string& text) {
  size_t from = 0, to = text.size();
  while (from < to && std::isspace(static_cast<unsigned char>(text[from]))) ++from;
  while (to > from && std::isspace(static_cast<unsigned char>(text[to - 1]))) --to;
  return text.substr(from, to - from);
}

template <size_t N>
void ReadKeyFile(const std::string& path, uint8_t (&key)[N], const char* what) {
  if (!ParseHexBytes(Trimmed(ReadWholeFile(path)), key, N)) {
    throw ToolError(path + ": not a " + what + " key file (one line of " + std::to_string(2 * N) + " hex digits)");
  }
}

void WriteKeyFile(const std::string& path, const uint8_t* key, size_t size) {
  const std::string line = HexBytes(key, size) + "\r\n";
  WriteWholeFile(path, line.data(), line.size());
}

}  // namespace

void ReadPublicKeyFile(const std::string& path, uint8_t (&key)[MAKER_PUBLIC_KEY_SIZE]) {
  ReadKeyFile(path, key, "public");
}

void ReadPrivateKeyFile(const std::string& path, uint8_t (&key)[MAKER_PRIVATE_KEY_SIZE]) {
  ReadKeyFile(path, key, "private");
}

void NewKeyFiles(const std::string& privatePath, const std::string& publicPath, std::ostream& out) {
  for (const std::string& path : {privatePath, publicPath}) {
    if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
      throw ToolError(path + ": exists already; a key file is never replaced");
    }
  }
  uint8_t privateKey[MAKER_PRIVATE_KEY_SIZE], publicKey[MAKER_PUBLIC_KEY_SIZE];
  NewMakerKey(privateKey, publicKey);
  WriteKeyFile(privatePath, privateKey, sizeof privateKey);
  SecureZeroMemory(privateKey, sizeof privateKey);
  try {
    WriteKeyFile(publicPath, publicKey, sizeof publicKey);
  } catch (...) {
    DeleteFileA(privatePath.c_str());
    throw;
  }
  out << "Private key " << privatePath << "\nPublic key  " << publicPath << "\n" << HexBytes(publicKey, sizeof publicKey)
      << "\n";
}

void NewKeyChangeFile(const std::string& oldPrivatePath, const std::string& newPublicPath, uint32_t fromVersion,
                      const std::string& changePath, std::ostream& out) {
  if (GetFileAttributesA(changePath.c_str()) != INVALID_FILE_ATTRIBUTES) {
    throw ToolError(changePath + ": exists already; a key change file is never replaced");
  }
  if (fromVersion == 0) throw ToolError("a key change counts from a list version of 1 or more");
  uint8_t oldKey[MAKER_PRIVATE_KEY_SIZE], newKey[MAKER_PUBLIC_KEY_SIZE];
  ReadPrivateKeyFile(oldPrivatePath, oldKey);
  ReadPublicKeyFile(newPublicPath, newKey);
  if (std::memcmp(oldKey, newKey, MAKER_PUBLIC_KEY_SIZE) == 0) {
    SecureZeroMemory(oldKey, sizeof oldKey);
    throw ToolError(newPublicPath + ": is the old key itself; a key change hands over to another key");
  }
  std::vector<uint8_t> body;
  try {
    body = MakeKeyChange(oldKey, newKey, fromVersion);
  } catch (...) {
    SecureZeroMemory(oldKey, sizeof oldKey);
    throw;
  }
  SecureZeroMemory(oldKey, sizeof oldKey);
  WriteKeyFile(changePath, body.data(), body.size());
  out << "Key change " << changePath << ": from list version " << fromVersion << " on, lists signed with\n"
      << HexBytes(newKey, sizeof newKey) << "\n";
}

std::vector<uint8_t> ReadKeyChangeFor(const std::string& changePath,
                                      const uint8_t (&privateKey)[MAKER_PRIVATE_KEY_SIZE], uint32_t version) {
  std::vector<uint8_t> body(LIST_KEY_CHANGE_SIZE);
  KeyChange change;
  std::string reason;
  if (!ParseHexBytes(Trimmed(ReadWholeFile(changePath)), body.data(), body.size()) ||
      !DecodeKeyChange(body, change, reason)) {
    throw ToolError(changePath + ": not a key change file (one line of " + std::to_string(2 * LIST_KEY_CHANGE_SIZE) +
                    " hex digits, made by paktool key change)");
  }
  if (std::memcmp(change.NewKey, privateKey, MAKER_PUBLIC_KEY_SIZE) != 0) {
    throw ToolError(changePath + ": hands over to another key than the one the list is signed with");
  }
  if (version < change.FromVersion) {
    throw ToolError(changePath + ": counts from list version " + std::to_string(change.FromVersion) +
                    ", and the list is version " + std::to_string(version));
  }
  return body;
}

bool VerifySync(const std::string& syncPath, const std::string& publicPath, const std::string& filesFolder,
                std::ostream& out) {
  uint8_t key[MAKER_PUBLIC_KEY_SIZE];
  ReadPublicKeyFile(publicPath, key);
  std::string reason;
  // One opening for the signature and what is read after it, as the
  // screensaver does.
  cSyncFile sync(syncPath);
  ListSignature signature;
  if (!CheckListSignature(sync, key, signature, reason)) {
    out << syncPath << ": refused, " << reason << "\n";
    return false;
  }
  out << syncPath << ": signed with " << (signature.KeyChanged ? "the new key of a key change the key signed" : "the key")
      << ", version " << sync.Header().Version << "\n";
  std::string address;
  bool good = ReadListAddress(sync.Pak(), address);
  if (good) {
    out << "published at " << address << "\n";
  } else {
    out << "names no address it is published at; a catalogue with a key refuses it\n";
  }
  for (const int32_t id : sync.RecordIds()) {
    cServerRecord server;
    sync.ReadRecord(id, server);
    const std::vector<FileSum> sums = ReadFileSums(sync.Pak(), id);
    const uint32_t files = server.Record.FileCount < SKIT_MAX_FILES ? server.Record.FileCount : SKIT_MAX_FILES;
    for (uint32_t f = 0; f < files; ++f) {
      const SkitFile& file = server.Record.Files[f];
      const std::string name = file.Name.Text != nullptr ? file.Name.Text : "(no name)";
      const std::string where = "SKIT " + std::to_string(id) + " file " + std::to_string(f) + " " + name;
      if (f >= sums.size()) {
        out << where << ": no size and hash; the screensaver will not install it\n";
        good = false;
        continue;
      }
      if (filesFolder.empty()) continue;
      FileSum got;
      HashFile(JoinPath(filesFolder, name), got.Size, got.Sha256);
      if (got == sums[f]) {
        out << where << ": matches\n";
      } else {
        out << where << ": differs from the list (" << got.Size << " bytes, the list says " << sums[f].Size << ")\n";
        good = false;
      }
    }
  }
  return good;
}
