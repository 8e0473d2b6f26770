#include "parse.h"

#include <cctype>
#include <cstdio>
#include <ctime>

namespace tool {
namespace {

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

// Reads exactly `width` digits at text[pos].
bool Digits(const std::string &text, size_t pos, size_t width, int *out) {
    if (pos + width > text.size()) return false;
    int v = 0;
    for (size_t i = 0; i < width; ++i) {
        const char c = text[pos + i];
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        v = v * 10 + (c - '0');
    }
    *out = v;
    return true;
}

std::string Trim(const std::string &s) {
    size_t a = 0, b = s.size();
    while (a < b && std::isspace(static_cast<unsigned char>(s[a]))) ++a;
    while (b > a && std::isspace(static_cast<unsigned char>(s[b - 1]))) --b;
    return s.substr(a, b - a);
}

}  // namespace

CardTime ParseTime(const std::string &option, const std::string &raw, bool withSeconds) {
    const std::string text = Trim(raw);
    const std::string shape = withSeconds ? "YYYY-MM-DD HH:MM:SS" : "YYYY-MM-DD HH:MM";
    CardTime t;
    const bool shaped = text.size() == shape.size() && Digits(text, 0, 4, &t.year) && text[4] == '-' &&
                        Digits(text, 5, 2, &t.month) && text[7] == '-' && Digits(text, 8, 2, &t.day) &&
                        (text[10] == ' ' || text[10] == 'T') && Digits(text, 11, 2, &t.hour) &&
                        text[13] == ':' && Digits(text, 14, 2, &t.minute) &&
                        (!withSeconds || (text[16] == ':' && Digits(text, 17, 2, &t.second)));
    if (!shaped) throw UsageError(option + ": '" + raw + "' is not a time of the form " + shape);
    if (t.year < kFirstYear || t.year > kLastYear)
        throw UsageError(option + ": year " + std::to_string(t.year) + " is outside " +
                         std::to_string(kFirstYear) + " to " + std::to_string(kLastYear) +
                         " (cards keep the year as one byte after 2000)");
    if (t.month < 1 || t.month > 12) throw UsageError(option + ": month " + std::to_string(t.month) + " does not exist");
    if (t.day < 1 || t.day > DaysInMonth(t.year, t.month))
        throw UsageError(option + ": " + text.substr(0, 10) + " is not a date");
    if (t.hour > 23 || t.minute > 59 || t.second > 59)
        throw UsageError(option + ": " + text.substr(11) + " is not a time of day");
    return t;
}

std::string FormatTime(const CardTime &t, bool withSeconds) {
    char text[40];
    if (withSeconds)
        std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                      t.second);
    else
        std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d", t.year, t.month, t.day, t.hour, t.minute);
    return text;
}

CardTime NowTime() {
    const std::time_t now = std::time(nullptr);
    const std::tm *local = std::localtime(&now);
    CardTime t;
    t.year = local->tm_year + 1900;
    t.month = local->tm_mon + 1;
    t.day = local->tm_mday;
    t.hour = local->tm_hour;
    t.minute = local->tm_min;
    t.second = local->tm_sec;
    return t;
}

CardTime AddDays(CardTime t, int days) {
    for (int i = 0; i < days; ++i) {
        if (++t.day > DaysInMonth(t.year, t.month)) {
            t.day = 1;
            if (++t.month > 12) {
                t.month = 1;
                ++t.year;
            }
        }
    }
    return t;
}

bool Before(const CardTime &a, const CardTime &b) {
    const int ka[6] = {a.year, a.month, a.day, a.hour, a.minute, a.second};
    const int kb[6] = {b.year, b.month, b.day, b.hour, b.minute, b.second};
    for (int i = 0; i < 6; ++i)
        if (ka[i] != kb[i]) return ka[i] < kb[i];
    return false;
}

int ParseNumber(const std::string &option, const std::string &raw, int lo, int hi) {
    const std::string text = Trim(raw);
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const size_t start = hex ? 2 : 0;
    if (text.size() == start || text.size() - start > 9)
        throw UsageError(option + ": '" + raw + "' is not a number");
    long v = 0;
    for (size_t i = start; i < text.size(); ++i) {
        const int c = std::tolower(static_cast<unsigned char>(text[i]));
        int digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (hex && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else throw UsageError(option + ": '" + raw + "' is not a number");
        v = v * (hex ? 16 : 10) + digit;
    }
    if (v < lo || v > hi)
        throw UsageError(option + ": " + text + " is out of range (" + std::to_string(lo) + " to " +
                         std::to_string(hi) + ")");
    return static_cast<int>(v);
}

std::vector<int> ParseNumberList(const std::string &option, const std::string &text, size_t maxCount,
                                 int lo, int hi) {
    std::vector<int> values;
    std::string item;
    auto flush = [&] {
        if (item.empty()) return;
        if (values.size() == maxCount)
            throw UsageError(option + ": at most " + std::to_string(maxCount) + " values fit");
        values.push_back(ParseNumber(option, item, lo, hi));
        item.clear();
    };
    for (char c : text) {
        if (c == ',' || std::isspace(static_cast<unsigned char>(c))) flush();
        else item += c;
    }
    flush();
    if (values.empty()) throw UsageError(option + ": give at least one value");
    values.resize(maxCount, 0);
    return values;
}

std::vector<uint8_t> ParseHexBytes(const std::string &option, const std::string &text, size_t maxCount) {
    std::string digits;
    for (char c : text) {
        if (std::isspace(static_cast<unsigned char>(c)) || c == ':' || c == ',' || c == '-') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            throw UsageError(option + ": '" + std::string(1, c) + "' is not a hexadecimal digit");
        digits += c;
    }
    if (digits.size() % 2 != 0) throw UsageError(option + ": an odd number of hexadecimal digits");
    if (digits.size() / 2 > maxCount)
        throw UsageError(option + ": " + std::to_string(digits.size() / 2) + " bytes, at most " +
                         std::to_string(maxCount) + " fit");
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < digits.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return bytes;
}

}  // namespace tool
