// Helpers shared by the test programs.
#pragma once
#include <string>
#include <vector>
#include <cstdint>

namespace kstest {

// A fresh empty directory for this test program (removed by nobody: tests
// write only small files).
std::string TempDir();
// Writes `text` to `dir/name` and returns the full path.
std::string WriteFile(const std::string &dir, const std::string &name, const std::string &text);
// Hex "0A 1B ..." into bytes.
std::vector<uint8_t> Hex(const std::string &text);
// A frame to the hand-held collector: 53, length (command and data plus
// one), 00, command, data, and the sum of every byte after the length.
std::vector<uint8_t> CollectorFrame(uint8_t command, const std::vector<uint8_t> &data);
// Reads a line "name: hex bytes" from a test-vector file (the part after ':').
// The known-answer file tests/vectors/<file>, read whole. A file that is
// missing or empty fails the calling test with its path, so a lost vector
// file is never mistaken for a wrong answer.
std::string VectorFile(const std::string &file);
std::string VectorLine(const std::string &file, const std::string &name);

}  // namespace kstest
