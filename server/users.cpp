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
    std::vector<UserEntry> out;
    std::ifstream in(path);
    std::string line;
    int n = 0;
    while (std::getline(in, line)) {
        ++n;
        if (line.empty() || line[0] == '#') continue;
        std::istringstream ls(line);
        UserEntry u;
        std::string role;
        ls >> u.name >> role >> u.hash >> u.created;
        auto r = ParseRole(role);
        if (!r || *r == Role::Pms || u.hash.rfind("$argon2id$", 0) != 0 || !ValidTokenName(u.name))
            throw std::runtime_error(path + ":" + std::to_string(n) + ": not a user line");
        u.role = *r;
        out.push_back(u);
    }
    return out;
}

void SaveUsers(const std::string &path, const std::vector<UserEntry> &users) {
    std::string text =
        "# kestrane-server users: name role argon2id-hash created (the passwords themselves are not kept)\n";
    for (auto &u : users) text += u.name + ' ' + RoleName(u.role) + ' ' + u.hash + ' ' + u.created + '\n';
    ReplaceFile(path, text);
}

}  // namespace server
