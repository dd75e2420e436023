#pragma once
// The phone's key file: what a completed pairing leaves behind, so later commands
// can open the encrypted channel. One JSON object {id, identity, psk, name}; the file
// is 0600 inside a 0700 folder and is replaced atomically.
#include <string>

#include "base/bytes.h"

namespace vm::phone {

struct PhoneKey {
    std::string id;        // phone identifier
    std::string identity;  // id "." key tag: the DTLS key identity
    Bytes psk;             // 32 bytes
    std::string name;      // the name sent while pairing
};

// $XDG_CONFIG_HOME/vellomark-phone/key.json, else ~/.config/vellomark-phone/key.json.
std::string defaultKeyFilePath();

enum class KeyFileStatus { Ok, Missing, Bad };
struct KeyFileRead {
    KeyFileStatus status = KeyFileStatus::Missing;
    PhoneKey key;       // valid only with Ok
    std::string error;  // a readable reason unless Ok
};
KeyFileRead readKeyFile(const std::string& path);

// Creates the folder (and missing parents) 0700, writes the file 0600 through a
// temporary file and a rename. False with a reason on failure; an old file then
// stays as it was.
bool writeKeyFile(const std::string& path, const PhoneKey& key, std::string* error);

}  // namespace vm::phone
