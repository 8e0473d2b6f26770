// The native configuration reader against Windows. answers.txt holds what
// GetPrivateProfileStringA (Wine 8, code page 1252) returned for every file
// of the corpus and every query below; this program asks the same questions
// through platform::ReadProfileString (on Windows that is the Windows
// function itself, natively our reader) and fails on any answer that differs.
// To rewrite the answers after the corpus changed (tests/ini/make_corpus.py),
// run the win32 build of this program under Wine with KS_INI_WRITE_ANSWERS=1.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"

#ifdef _WIN32
#include <windows.h>
constexpr bool kWindows = true;
#else
#include <sys/stat.h>
#include <unistd.h>
constexpr bool kWindows = false;
#endif

namespace {

struct Query {
    const char *section;
    const char *key;
    const char *fallback;
    uint32_t size;
};

constexpr Query kQueries[] = {
    // What EncodeInit asks for, in its order, with its defaults and its
    // 32-byte buffer.
    {"Config", "CommProt", "0", 32},
    {"SystemInfo", "Pass", "4B7E19D2", 32},
    {"Config", "LockType", "1", 32},
    {"Config", "Sector", "1", 32},
    // A key and a section no file has, a buffer shorter than a password,
    // names asked with blanks and in another case with a quoted default,
    // and the lines before the first section.
    {"Config", "Missing", "none", 32},
    {"Nowhere", "LockType", "1", 32},
    {"SystemInfo", "Pass", "4B7E19D2", 5},
    {" config\t", " SECTOR ", "'1'  ", 32},
    {"", "CommProt", "0", 32},
};

// A file that is not there: its answers are the defaults.
constexpr const char *kAbsentFile = "absent.ini";
constexpr size_t kBufferSize = 64;
constexpr char kCanary = 0x5A;

// Bytes outside ' '..'~' and the backslash as \xNN, so an answer is one field.
std::string Escape(const char *text, size_t length) {
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c <= 0x7E && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof(hex), "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}
std::string Escape(const char *text) { return Escape(text, std::strlen(text)); }

std::string CorpusDir() {
    std::string dir = KS_INI_CORPUS;
    // Under Wine an absolute Unix path is a path on drive Z:.
    if (kWindows && !dir.empty() && dir[0] == '/') dir = "Z:" + dir;
    return dir;
}

// The answers file's key for one question: file, section, key, size, default.
std::string QuestionKey(const std::string &file, const Query &q) {
    return file + '\t' + Escape(q.section) + '\t' + Escape(q.key) + '\t' + std::to_string(q.size) + '\t' +
           Escape(q.fallback);
}

struct Asked {
    std::string answer;  // returned length, tab, escaped text
    std::string fault;   // a broken promise of the call itself, if any
};

Asked Ask(const std::string &path, const Query &q) {
    char out[kBufferSize];
    std::memset(out, kCanary, sizeof(out));
    const uint32_t returned = platform::ReadProfileString(q.section, q.key, q.fallback, out, q.size, path.c_str());
    Asked a;
    const char *end = static_cast<const char *>(std::memchr(out, '\0', q.size));
    if (end == nullptr) {
        a.fault = "no terminator within the buffer";
        end = out + q.size;
    }
    for (size_t i = q.size; i < sizeof(out); ++i)
        if (out[i] != kCanary) a.fault = "wrote past the buffer";
    a.answer = std::to_string(returned) + '\t' + Escape(out, static_cast<size_t>(end - out));
    return a;
}

std::vector<std::string> CorpusFiles() {
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(std::string(KS_INI_CORPUS) + "/files"))
        if (entry.is_regular_file()) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string AnswersPath() { return std::string(KS_INI_CORPUS) + "/answers.txt"; }

std::map<std::string, std::string> ReadAnswers() {
    std::map<std::string, std::string> answers;
    std::ifstream in(AnswersPath(), std::ios::binary);
    if (!in) ADD_FAILURE() << "known-answer file missing: " << AnswersPath();
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        // The last two fields are the answer.
        const size_t text = line.rfind('\t');
        const size_t length = text == std::string::npos ? text : line.rfind('\t', text - 1);
        if (length == std::string::npos) continue;
        answers[line.substr(0, length)] = line.substr(length + 1);
    }
    return answers;
}

TEST(ProfileAgreement, EveryAnswerIsWindowsAnswer) {
    if (kWindows) {
#ifdef _WIN32
        // The answers are code page 1252's: another code page gives others.
        ASSERT_EQ(GetACP(), 1252u) << "run Wine with an English or Western-European locale";
#endif
    }
    const bool writing = std::getenv("KS_INI_WRITE_ANSWERS") != nullptr;
    ASSERT_TRUE(!writing || kWindows) << "only Windows writes the answers";

    std::vector<std::string> files = CorpusFiles();
    ASSERT_GT(files.size(), 0u);
    ASSERT_EQ(std::count(files.begin(), files.end(), kAbsentFile), 0);
    files.push_back(kAbsentFile);

    const std::map<std::string, std::string> expected = writing ? std::map<std::string, std::string>{} : ReadAnswers();
    std::vector<std::string> lines;
    size_t asked = 0, differences = 0;
    for (const std::string &file : files) {
        const std::string path = CorpusDir() + "/files/" + file;
        for (const Query &q : kQueries) {
            const Asked a = Ask(path, q);
            const std::string question = QuestionKey(file, q);
            ++asked;
            EXPECT_TRUE(a.fault.empty()) << file << " [" << q.section << "] " << q.key << ": " << a.fault;
            lines.push_back(question + '\t' + a.answer);
            if (writing) continue;
            const auto it = expected.find(question);
            const std::string want = it == expected.end() ? "(no answer from Windows: rewrite the answers)" : it->second;
            if (want != a.answer && ++differences <= 40)
                ADD_FAILURE() << file << " [" << Escape(q.section) << "] " << Escape(q.key) << " (size " << q.size
                              << ", default \"" << Escape(q.fallback) << "\")\n  Windows: " << want
                              << "\n  here:    " << a.answer;
        }
    }
    if (writing) {
        std::ofstream out(AnswersPath(), std::ios::binary | std::ios::trunc);
        out << "# GetPrivateProfileStringA's answers (Wine 8, code page 1252) for tests/vectors/ini/files.\n"
               "# file, section, key, buffer size, default, returned length, text (\\xNN outside ' '..'~').\n";
        for (const std::string &line : lines) out << line << '\n';
        ASSERT_TRUE(out.good());
    } else {
        EXPECT_EQ(expected.size(), lines.size()) << "answers for files no longer in the corpus: rewrite the answers";
    }
    std::printf("%zu files, %zu questions, %zu differences%s\n", files.size(), asked, differences,
                writing ? " (answers written)" : "");
    EXPECT_EQ(differences, 0u);
}

// A configuration path that names no regular file reads as a missing file,
// at once: a folder, and natively a pipe, which a plain open() would wait on
// until someone wrote to it, holding EncodeInit forever.
TEST(ProfileAgreement, APathToNoRegularFileGivesTheDefault) {
    std::vector<std::string> paths = {CorpusDir() + "/files"};
#ifndef _WIN32
    const std::string pipe = std::filesystem::temp_directory_path().string() + "/ks-ini-pipe-" +
                             std::to_string(getpid());
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    paths.push_back(pipe);
#endif
    for (const std::string &path : paths) {
        char out[8];
        EXPECT_EQ(platform::ReadProfileString("Config", "LockType", "1", out, sizeof(out), path.c_str()), 1u) << path;
        EXPECT_STREQ(out, "1") << path;
    }
#ifndef _WIN32
    std::remove(pipe.c_str());
#endif
}

}  // namespace
