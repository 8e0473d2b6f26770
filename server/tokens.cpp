#include "tokens.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace server {
namespace {
constexpr size_t kTokenBytes = 32;  // 256 bits
constexpr size_t kHashHexLength = 64;
const char kTokenPrefix[] = "kst_";

std::string Hex(const unsigned char *p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}
}  // namespace

std::optional<Role> ParseRole(const std::string &name) {
    if (name == "pms") return Role::Pms;
    if (name == "desk") return Role::Desk;
    if (name == "manager") return Role::Manager;
    return std::nullopt;
}

const char *RoleName(Role role) {
    switch (role) {
    case Role::Pms: return "pms";
    case Role::Desk: return "desk";
    case Role::Manager: return "manager";
    }
    return "?";
}

bool IsStaffKind(const std::string &kind) { return kind != "guest" && kind != "guest-leave"; }

bool Allows(Role role, Action action, const std::string &kind) {
    switch (action) {
    case Action::IssueCard: return role == Role::Manager || !IsStaffKind(kind);
    case Action::ReadCard: return true;
    case Action::ClearCard:
    case Action::CollectLog: return role != Role::Pms;
    case Action::ReadJournal: return role == Role::Manager;
    }
    return false;
}

std::string NewToken() {
    unsigned char raw[kTokenBytes];
    if (RAND_bytes(raw, sizeof raw) != 1) throw std::runtime_error("the system's random source failed");
    std::string t = kTokenPrefix + Hex(raw, sizeof raw);
    OPENSSL_cleanse(raw, sizeof raw);
    return t;
}

std::string Sha256Hex(const std::string &data) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(data.data(), data.size(), md, &n, EVP_sha256(), nullptr);
    return Hex(md, n);
}

bool ValidTokenName(const std::string &name) {
    if (name.empty() || name.size() > 64) return false;
    for (char c : name)
        if (!(isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.' || c == '@')) return false;
    return true;
}

std::vector<Credential> LoadCredentials(const std::string &path, const char *what, bool (*valid)(const Credential &)) {
    std::vector<Credential> out;
    std::ifstream in(path);
    std::string line;
    int n = 0;
    while (std::getline(in, line)) {
        ++n;
        if (line.empty() || line[0] == '#') continue;
        std::istringstream ls(line);
        Credential c;
        std::string role;
        ls >> c.name >> role >> c.hash >> c.created;
        auto r = ParseRole(role);
        if (r) c.role = *r;
        if (!r || !ValidTokenName(c.name) || !valid(c))
            throw std::runtime_error(path + ":" + std::to_string(n) + ": not a " + what + " line");
        out.push_back(c);
    }
    return out;
}

void SaveCredentials(const std::string &path, const std::string &header, const std::vector<Credential> &list) {
    std::string text = "# " + header + "\n";
    for (auto &c : list) text += c.name + ' ' + RoleName(c.role) + ' ' + c.hash + ' ' + c.created + '\n';
    ReplaceFile(path, text);
}

std::vector<TokenEntry> LoadTokens(const std::string &path) {
    return LoadCredentials(path, "token", [](const Credential &c) { return c.hash.size() == kHashHexLength; });
}

void SaveTokens(const std::string &path, const std::vector<TokenEntry> &tokens) {
    SaveCredentials(path, "kestrane-server tokens: name role sha256 created (the tokens themselves are not kept)",
                    tokens);
}

void ReplaceFile(const std::string &path, const std::string &text) {
    std::string tmp = path + ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) throw std::runtime_error("cannot write " + tmp);
    bool ok = ::fchmod(fd, 0600) == 0;
    for (size_t at = 0; ok && at < text.size();) {
        ssize_t n = ::write(fd, text.data() + at, text.size() - at);
        if (n <= 0) ok = false;
        else at += static_cast<size_t>(n);
    }
    ok = ok && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok) {
        ::unlink(tmp.c_str());
        throw std::runtime_error("cannot write " + tmp);
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) throw std::runtime_error("cannot replace " + path);
}

bool FileStamp::Changed(const std::string &path, bool *gone) {
    struct stat st {};
    *gone = ::stat(path.c_str(), &st) != 0;
    if (*gone) {
        size = -1;
        return true;
    }
    if (st.st_size == size && st.st_mtim.tv_sec == mtime.tv_sec && st.st_mtim.tv_nsec == mtime.tv_nsec) return false;
    size = st.st_size;
    mtime = st.st_mtim;
    return true;
}

std::optional<TokenEntry> Authenticate(const std::vector<TokenEntry> &tokens, const std::string &presented) {
    const std::string hash = Sha256Hex(presented);
    std::optional<TokenEntry> found;
    for (auto &t : tokens) {
        // Every entry is compared, whether or not one matched already.
        bool same = t.hash.size() == hash.size() && CRYPTO_memcmp(t.hash.data(), hash.data(), hash.size()) == 0;
        if (same) found = t;
    }
    return found;
}

}  // namespace server
