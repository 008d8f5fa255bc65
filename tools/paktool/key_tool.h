// The content maker's key pair as paktool keeps it, and the commands that
// use it: `key new`, signing in `sync build --sign`, and `sync verify`.
//
// Key files are text: one line of hex digits. A public key file holds the
// 64 bytes of the public key (X then Y, big-endian), 128 digits, the same
// text a catalogue description gives as its makerKey. A private key file
// holds X, Y and the secret d, 192 digits; keep it off the server.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "base/crypto.h"

// Both throw ToolError naming the file when it does not hold such a key.
void ReadPublicKeyFile(const std::string& path, uint8_t (&key)[MAKER_PUBLIC_KEY_SIZE]);
void ReadPrivateKeyFile(const std::string& path, uint8_t (&key)[MAKER_PRIVATE_KEY_SIZE]);

// paktool key new PRIVATE PUBLIC: refuses to replace either file.
void NewKeyFiles(const std::string& privatePath, const std::string& publicPath, std::ostream& out);

// paktool key change OLD.key NEW.pub FROMVERSION CHANGEFILE: the key change
// that hands the old key's catalogues over to the new key from that list
// version on, signed with the old private key, written as one line of hex
// digits (the "KEYC" body). Refuses to replace the file.
void NewKeyChangeFile(const std::string& oldPrivatePath, const std::string& newPublicPath, uint32_t fromVersion,
                      const std::string& changePath, std::ostream& out);
// The "KEYC" body in a key change file, for a list of version signed with
// privateKey: throws ToolError when the file holds no key change, when its
// new key is not the signing key, or when the version is below the one it
// counts from.
std::vector<uint8_t> ReadKeyChangeFor(const std::string& changePath,
                                      const uint8_t (&privateKey)[MAKER_PRIVATE_KEY_SIZE], uint32_t version);
// paktool sync verify SYNCFILE PUBLIC [--files FOLDER]: the signature, and
// with a folder each file the list gives a size and hash for. Prints what
// it found; false when anything is wrong.
bool VerifySync(const std::string& syncPath, const std::string& publicPath, const std::string& filesFolder,
                std::ostream& out);
