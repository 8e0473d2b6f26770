#include "test_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace kstest {

std::string TempDir() {
    static std::string dir;
    if (!dir.empty()) return dir;
    const char *base = getenv("TMPDIR");
#if defined(_WIN32)
    if (base == nullptr) base = getenv("TEMP");
    std::string root = base ? base : ".";
    for (int i = 0;; ++i) {
        std::string candidate = root + "\\kstest" + std::to_string(getpid()) + "_" + std::to_string(i);
        if (mkdir(candidate.c_str()) == 0) return dir = candidate;
    }
#else
    std::string pattern = std::string(base ? base : "/tmp") + "/kstestXXXXXX";
    dir = mkdtemp(&pattern[0]);
    return dir;
#endif
}

std::string WriteFile(const std::string &dir, const std::string &name, const std::string &text) {
#if defined(_WIN32)
    const std::string path = dir + "\\" + name;
#else
    const std::string path = dir + "/" + name;
#endif
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

std::vector<uint8_t> Hex(const std::string &text) {
    std::vector<uint8_t> out;
    std::istringstream in(text);
    std::string tok;
    while (in >> tok) out.push_back(static_cast<uint8_t>(std::stoul(tok, nullptr, 16)));
    return out;
}

std::vector<uint8_t> CollectorFrame(uint8_t command, const std::vector<uint8_t> &data) {
    std::vector<uint8_t> frame(5 + data.size(), 0);
    frame[0] = 0x53;
    frame[1] = static_cast<uint8_t>(2 + data.size());
    frame[3] = command;
    std::copy(data.begin(), data.end(), frame.begin() + 4);
    for (size_t i = 2; i + 1 < frame.size(); ++i) frame.back() = static_cast<uint8_t>(frame.back() + frame[i]);
    return frame;
}

std::string VectorFile(const std::string &file) {
    const std::string path = std::string(KS_TEST_VECTORS) + "/" + file;
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    if (!in.is_open()) ADD_FAILURE() << "known-answer file missing: " << path;
    else if (text.str().empty()) ADD_FAILURE() << "known-answer file empty: " << path;
    return text.str();
}

std::string VectorLine(const std::string &file, const std::string &name) {
    std::istringstream in(VectorFile(file));
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(name + ":", 0) == 0) return line.substr(name.size() + 1);
    }
    return "";
}

}  // namespace kstest
