// The library's result codes in words: one table, taken from the list in
// include/kestrane.h, so that every failure the tool reports names its code.
#pragma once
#include <cstdint>
#include <string>

namespace tool {

struct ResultCodeInfo {
    int16_t code;
    const char *name;     // the constant's name in kestrane.h
    const char *meaning;  // one line, for a technician
};

// The entry for `code`; codes outside the table (a device library's own
// status, handed on unchanged) get a generic entry with a null name.
ResultCodeInfo DescribeResult(int16_t code);
// "0xFFF3 (-13)"
std::string ResultHex(int16_t code);
// "0xFFF3 (-13) KS_ERR_NOT_CLEARED: the card on the encoder is not a cleared card"
std::string ResultInWords(int16_t code);
// Every entry, in table order (for the reference and the tests).
const ResultCodeInfo *ResultTable(size_t *count);

}  // namespace tool
