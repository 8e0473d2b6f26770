// `kestrane worker`: the tool's commands for a program that drives one
// encoder for a long time (the server's encoder workers, the comparison of
// the 32- and 64-bit tools). Each stdin line is a command line, a JSON array
// of strings; each is answered by one stdout line
//   {"exit":N,"stdout":"...","stderr":"..."}
// holding what `kestrane ARGS` would have printed and its exit code. One
// process serves them all, so a command costs no program start (on Windows
// under an emulator, no Wine start); the bench loads its folder again
// whenever another process changed it, as a new process would.
#include <CLI/CLI.hpp>

#include <cstdint>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "bench.h"
#include "tool.h"

namespace tool {
namespace {

constexpr const char *kWorkerCommand = "worker";

void AppendUtf8(uint32_t cp, std::string *out) {
    if (cp < 0x80) {
        *out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        *out += static_cast<char>(0xC0 | (cp >> 6));
        *out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *out += static_cast<char>(0xE0 | (cp >> 12));
        *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        *out += static_cast<char>(0xF0 | (cp >> 18));
        *out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// A JSON string array, the only JSON a request may be. Throws UsageError
// naming what is wrong and where.
class ArrayReader {
public:
    explicit ArrayReader(const std::string &text) : s_(text) {}

    std::vector<std::string> Read() {
        std::vector<std::string> items;
        Skip();
        Expect('[');
        Skip();
        if (Peek() == ']') {
            ++i_;
        } else {
            for (;;) {
                Skip();
                items.push_back(String());
                Skip();
                if (Peek() == ',') { ++i_; continue; }
                Expect(']');
                break;
            }
        }
        Skip();
        if (i_ != s_.size()) Fail("text after the array");
        return items;
    }

private:
    [[noreturn]] void Fail(const std::string &what) const {
        throw UsageError("worker: the request is not a JSON array of strings: " + what + " at character " +
                         std::to_string(i_ + 1));
    }
    char Peek() const { return i_ < s_.size() ? s_[i_] : '\0'; }
    void Skip() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\r' || s_[i_] == '\n')) ++i_;
    }
    void Expect(char c) {
        if (Peek() != c) Fail(std::string("'") + c + "' expected");
        ++i_;
    }
    uint32_t Hex4() {
        if (i_ + 4 > s_.size()) Fail("a short \\u escape");
        uint32_t v = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = s_[i_++];
            v <<= 4;
            if (c >= '0' && c <= '9') v |= static_cast<uint32_t>(c - '0');
            else if (c >= 'a' && c <= 'f') v |= static_cast<uint32_t>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') v |= static_cast<uint32_t>(c - 'A' + 10);
            else Fail("a bad \\u escape");
        }
        return v;
    }
    std::string String() {
        Expect('"');
        std::string out;
        for (;;) {
            if (i_ >= s_.size()) Fail("an unterminated string");
            const char c = s_[i_++];
            if (c == '"') return out;
            if (static_cast<unsigned char>(c) < 0x20) Fail("a control character in a string");
            if (c != '\\') { out += c; continue; }
            const char e = Peek();
            ++i_;
            switch (e) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                uint32_t cp = Hex4();
                if (cp >= 0xD800 && cp < 0xDC00 && s_.compare(i_, 2, "\\u") == 0) {
                    i_ += 2;
                    const uint32_t low = Hex4();
                    if (low < 0xDC00 || low >= 0xE000) Fail("a lone surrogate");
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                } else if (cp >= 0xD800 && cp < 0xE000) {
                    Fail("a lone surrogate");
                }
                AppendUtf8(cp, &out);
                break;
            }
            default: Fail("an unknown escape");
            }
        }
    }

    const std::string &s_;
    size_t i_ = 0;
};

bool NamesCommand(const std::vector<std::string> &args, const char *command) {
    for (const std::string &a : args)
        if (a == command) return true;
    return false;
}

// Runs one request with the command's output captured; the protocol keeps
// the real stdout to itself.
std::string Answer(const std::string &line, const Context &defaults) {
    std::ostringstream out, err;
    std::streambuf *realOut = std::cout.rdbuf(out.rdbuf());
    std::streambuf *realErr = std::cerr.rdbuf(err.rdbuf());
    int exitCode = kExitUsage;
    try {
        const std::vector<std::string> args = ArrayReader(line).Read();
        const std::string devices = DevicesNamed(args);
        if (!devices.empty() && devices != defaults.devices)
            throw UsageError("worker: this worker drives the " + defaults.devices +
                             " devices; start another one with --devices " + devices);
        if (NamesCommand(args, kWorkerCommand)) throw UsageError("worker: a worker does not start another one");
        // A new process starts with an empty vendor call log; without this a
        // long-lived worker would carry the last 65536 calls along.
        bench::ClearCallLog();
        exitCode = RunCommandLine(args, defaults);
    } catch (const UsageError &e) {
        std::cerr << "kestrane: " << e.what() << std::endl;
    }
    std::cout.rdbuf(realOut);
    std::cerr.rdbuf(realErr);
    return "{\"exit\":" + std::to_string(exitCode) + ",\"stdout\":" + JsonQuote(out.str()) +
           ",\"stderr\":" + JsonQuote(err.str()) + "}";
}

void RunWorker(const Context &defaults) {
    std::string line;
    while (std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        std::cout << Answer(line, defaults) << std::endl;
    }
}

}  // namespace

void AddWorkerCommand(CLI::App &app, std::shared_ptr<Context> ctx) {
    app.add_subcommand(kWorkerCommand,
                       "read command lines as JSON arrays of strings on stdin, answer each with one JSON line "
                       "{\"exit\",\"stdout\",\"stderr\"}; the global options given here apply to every one")
        ->callback([ctx] { RunWorker(*ctx); });
}

}  // namespace tool
