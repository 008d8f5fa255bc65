// The content maker's key pair as paktool keeps it, and the commands that
// use it: `key new`, signing in `sync build --sign`, and `sync verify`.
//
// Key files are text: one line of hex digits. A public key file holds the
// 64 bytes of the public key (X then Y, big-endian), 128 digits, the same
// text a catalogue description gives as its makerKey. A private key file
// holds X, Y and the secret d, 192 digits; keep it off the server.
#pragma once

#include <ostream>
#include <string>

#include "base/crypto.h"

// Both throw ToolError naming the file when it does not hold such a key.
void ReadPublicKeyFile(const std::string& path, uint8_t (&key)[MAKER_PUBLIC_KEY_SIZE]);
void ReadPrivateKeyFile(const std::string& path, uint8_t (&key)[MAKER_PRIVATE_KEY_SIZE]);

// paktool key new PRIVATE PUBLIC: refuses to replace either file.
void NewKeyFiles(const std::string& privatePath, const std::string& publicPath, std::ostream& out);
// paktool sync verify SYNCFILE PUBLIC [--files FOLDER]: the signature, and
// with a folder each file the list gives a size and hash for. Prints what
// it found; false when anything is wrong.
bool VerifySync(const std::string& syncPath, const std::string& publicPath, const std::string& filesFolder,
                std::ostream& out);
