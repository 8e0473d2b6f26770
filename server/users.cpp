#include "users.h"

#include <argon2.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace server {
namespace {

// Argon2id at OWASP's first recommended setting (19 MiB, two passes, one
// lane): about 30 ms here, slow enough that a stolen users file is no list of
// passwords, quick enough that signing in is not.
constexpr uint32_t kTimeCost = 2, kMemoryKiB = 19 * 1024, kLanes = 1;
constexpr size_t kSaltBytes = 16, kHashBytes = 32;

}  // namespace

std::string HashPassword(const std::string &password) {
    unsigned char salt[kSaltBytes];
    if (RAND_bytes(salt, sizeof salt) != 1) throw std::runtime_error("the system's random source failed");
    std::string encoded(argon2_encodedlen(kTimeCost, kMemoryKiB, kLanes, kSaltBytes, kHashBytes, Argon2_id), '\0');
    int rc = argon2id_hash_encoded(kTimeCost, kMemoryKiB, kLanes, password.data(), password.size(), salt, sizeof salt,
                                   kHashBytes, encoded.data(), encoded.size());
    if (rc != ARGON2_OK) throw std::runtime_error(std::string("argon2id: ") + argon2_error_message(rc));
    encoded.resize(encoded.find('\0'));
    return encoded;
}

bool VerifyPassword(const std::string &hash, const std::string &password) {
    if (hash.rfind("$argon2id$", 0) != 0) return false;
    return argon2id_verify(hash.c_str(), password.data(), password.size()) == ARGON2_OK;
}

std::vector<UserEntry> LoadUsers(const std::string &path) {
    return LoadCredentials(path, "user", [](const Credential &c) {
        return c.role != Role::Pms && c.hash.rfind("$argon2id$", 0) == 0;
    });
}

void SaveUsers(const std::string &path, const std::vector<UserEntry> &users) {
    SaveCredentials(path,
                    "kestrane-server users: name role argon2id-hash created (the passwords themselves are not kept)",
                    users);
}

}  // namespace server
