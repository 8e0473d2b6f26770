// Machine credentials: random 256-bit tokens, shown once, kept only as
// SHA-256 hashes; and the roles that say what each may do.
#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>
#include <vector>

namespace server {

enum class Role { Pms, Desk, Manager };

std::optional<Role> ParseRole(const std::string &name);
const char *RoleName(Role role);

// What a request does, for the role check.
enum class Action { IssueCard, ReadCard, ClearCard, CollectLog, ReadJournal };

// Cards that open more than a guest's own room (a chief card opens every
// door of the hotel): issued by managers only, with a reason on record.
bool IsStaffKind(const std::string &kind);
bool Allows(Role role, Action action, const std::string &kind = "");

// Who a request comes from: a token's or a signed-in user's name and role,
// and the interface it came through (the journal's `interface`).
struct Principal {
    std::string name;
    Role role = Role::Pms;
    std::string interface = "api";
    std::string session;  // console: the session's cookie, for streams that end with it
};

// A credential on file: a token (hash: SHA-256 of the token, lowercase hex)
// or a user (hash: Argon2id in PHC string form).
struct Credential {
    std::string name;
    Role role = Role::Pms;
    std::string hash;
    std::string created;
};
using TokenEntry = Credential;

// A credentials file: a header comment, then one "name role hash created"
// line each; `valid` refuses a line that is not of this file's kind. Saving
// writes the file whole (ReplaceFile). A missing file holds none.
std::vector<Credential> LoadCredentials(const std::string &path, const char *what, bool (*valid)(const Credential &));
void SaveCredentials(const std::string &path, const std::string &header, const std::vector<Credential> &list);

std::string NewToken();                       // "kst_" + 64 hex digits from the system's CSPRNG
std::string Sha256Hex(const std::string &data);

// The token file (one "name role hash created" line each), written whole
// through a temporary file and rename, readable by the owner only.
std::vector<TokenEntry> LoadTokens(const std::string &path);  // missing file: none
void SaveTokens(const std::string &path, const std::vector<TokenEntry> &tokens);

// Compares the presented token's hash with every stored hash in constant
// time, so neither the match nor its position leaks through timing.
std::optional<TokenEntry> Authenticate(const std::vector<TokenEntry> &tokens, const std::string &presented);

bool ValidTokenName(const std::string &name);

// Writes a credentials file whole: a temporary file, owner-only, synced to
// disk, then renamed over the old one, so a crash leaves the old file or the
// new one, never half of either.
void ReplaceFile(const std::string &path, const std::string &text);

// Whether a file the server re-reads while it runs (tokens, users) changed
// since `Changed` last said so; `gone` tells a missing file.
struct FileStamp {
    struct timespec mtime {};
    off_t size = -1;
    bool Changed(const std::string &path, bool *gone);
};

}  // namespace server
