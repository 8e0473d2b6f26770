// People at the desk: users of the server with a role (desk or manager) and a
// password kept only as an Argon2id hash, in a file of the state folder.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tokens.h"

namespace server {

// A user's hash is Argon2id in PHC string form ($argon2id$v=19$m=...,t=...,p=...$salt$hash).
using UserEntry = Credential;

constexpr size_t kPasswordMin = 8, kPasswordMax = 256;

// A new salted Argon2id hash of the password.
std::string HashPassword(const std::string &password);
// Whether the password matches the hash; a malformed hash matches nothing.
bool VerifyPassword(const std::string &hash, const std::string &password);

// The users file (one "name role hash created" line each), written whole
// through a temporary file and rename, readable by the owner only.
std::vector<UserEntry> LoadUsers(const std::string &path);  // missing file: none
void SaveUsers(const std::string &path, const std::vector<UserEntry> &users);

}  // namespace server
