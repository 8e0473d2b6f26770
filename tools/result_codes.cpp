#include "result_codes.h"

#include <cstdio>
#include <iterator>

#include "kestrane.h"

namespace tool {
namespace {

// What each code tells the person at the encoder. Meanings follow the
// comments of kestrane.h; keep the two in step.
const ResultCodeInfo kResultTable[] = {
    {KS_OK, "KS_OK", "success"},
    {KS_ERR_OPEN_OR_NO_DEV, "KS_ERR_OPEN_OR_NO_DEV",
     "the encoder did not open, the IC card could not be read, or no known USB device is attached"},
    {KS_ERR_CARD_INVALID, "KS_ERR_CARD_INVALID",
     "card content invalid: a check byte or the card identity failed, the card type is not decodable, "
     "or the contact data card is not a readable 24C64 card"},
    {KS_ERR_NOT_MIFARE_1K, "KS_ERR_NOT_MIFARE_1K",
     "not a Mifare card of the expected size, or a system password card was to be cleared"},
    {KS_ERR_COMM, "KS_ERR_COMM",
     "communication with the encoder or the card failed (no card, read, write, authentication or "
     "verification failed)"},
    {KS_ERR_IC_NOT_OPEN, "KS_ERR_IC_NOT_OPEN", "the contact IC encoder is not open"},
    {KS_ERR_NO_RECORD, "KS_ERR_NO_RECORD", "no open-door record is left"},
    {KS_ERR_MEDIUM_RESERVED, "KS_ERR_MEDIUM_RESERVED",
     "the configured LockType is recognised but not served (1, 4), or is outside 2, 3, 5"},
    {KS_ERR_UNAVAILABLE, "KS_ERR_UNAVAILABLE",
     "the operation is not available for the configured LockType, or not supported at all"},
    {KS_ERR_COLLECTOR, "KS_ERR_COLLECTOR",
     "the hand-held collector was not the device found first, did not answer or refused"},
    {KS_ERR_NOT_CLEARED, "KS_ERR_NOT_CLEARED",
     "the card on the encoder is not a cleared card (clear it first)"},
    {KS_ERR_OTHER_HOTEL, "KS_ERR_OTHER_HOTEL",
     "the card carries another installation's system password"},
    {KS_ERR_HOST, "KS_ERR_HOST", "the 32-bit host process is not available"},
};

}  // namespace

ResultCodeInfo DescribeResult(int16_t code) {
    for (const ResultCodeInfo &info : kResultTable)
        if (info.code == code) return info;
    return ResultCodeInfo{code, nullptr,
                          "a device library's own status, handed on unchanged by the library"};
}

std::string ResultHex(int16_t code) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%04X (%d)", static_cast<unsigned>(static_cast<uint16_t>(code)),
                  static_cast<int>(code));
    return text;
}

std::string ResultInWords(int16_t code) {
    const ResultCodeInfo info = DescribeResult(code);
    return ResultHex(code) + " " + (info.name ? info.name : "(device status)") + ": " + info.meaning;
}

const ResultCodeInfo *ResultTable(size_t *count) {
    *count = std::size(kResultTable);
    return kResultTable;
}

}  // namespace tool
