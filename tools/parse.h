// Checking what the user typed before anything reaches the library: times,
// number lists, byte strings. Every complaint names the option it is about.
#pragma once
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace tool {

// A bad argument: the message names the option and what is wrong with it.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Cards store the year minus 2000 in one byte, so 2000..2255 is what fits.
constexpr int kFirstYear = 2000;
constexpr int kLastYear = 2255;

struct CardTime {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

// "YYYY-MM-DD HH:MM" (withSeconds: "YYYY-MM-DD HH:MM:SS"; "T" may stand for
// the space). A real calendar date in 2000..2255 and a real time of day.
CardTime ParseTime(const std::string &option, const std::string &text, bool withSeconds);
std::string FormatTime(const CardTime &t, bool withSeconds);
CardTime NowTime();
CardTime AddDays(CardTime t, int days);
bool Before(const CardTime &a, const CardTime &b);

// A whole number in [lo, hi]; decimal, or hexadecimal with 0x.
int ParseNumber(const std::string &option, const std::string &text, int lo, int hi);
// Up to maxCount numbers in [lo, hi], separated by commas or spaces; the
// result is padded with zeros to maxCount.
std::vector<int> ParseNumberList(const std::string &option, const std::string &text, size_t maxCount,
                                 int lo, int hi);
// Hexadecimal bytes, with or without spaces or colons between them ("0A1B", "0a 1b").
std::vector<uint8_t> ParseHexBytes(const std::string &option, const std::string &text, size_t maxCount);

}  // namespace tool
