// The host's side of ReadOneOpenDoorRecord: a record as the host receives
// it, and draining what the last fetch delivered. Header only: the export
// called is the program's own library's.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <vector>

#include "kestrane.h"

namespace kstest {

struct OpenDoorRecord {
    int16_t header = 0;
    std::vector<int16_t> list, time, card;
    int16_t kind = 0;
    bool operator==(const OpenDoorRecord &o) const {
        return header == o.header && list == o.list && time == o.time && card == o.card && kind == o.kind;
    }
};

inline std::ostream &operator<<(std::ostream &os, const OpenDoorRecord &r) {
    os << "kind " << r.kind << " time";
    for (int16_t v : r.time) os << ' ' << v;
    os << " card";
    for (int16_t v : r.card) os << ' ' << v;
    return os << " header " << r.header;
}

// One call (the unused arguments 2-4 null); false when no record is left.
inline bool ReadOneOpenDoor(OpenDoorRecord *rec) {
    int16_t header = 0, kind = 0;
    int16_t list[6] = {}, time[5] = {}, card[4] = {};
    const int16_t r = ReadOneOpenDoorRecord(&header, nullptr, nullptr, nullptr, list, &kind, time, card);
    if (r != KS_OK) {
        EXPECT_EQ(r, KS_ERR_NO_RECORD);
        return false;
    }
    rec->header = header;
    rec->list.assign(list, list + 6);
    rec->kind = kind;
    rec->time.assign(time, time + 5);
    rec->card.assign(card, card + 4);
    return true;
}

// Reads records until the library says none is left.
inline std::vector<OpenDoorRecord> DrainOpenDoorRecords() {
    std::vector<OpenDoorRecord> out;
    OpenDoorRecord rec;
    for (int guard = 0; guard <= 200; ++guard) {
        if (!ReadOneOpenDoor(&rec)) return out;
        out.push_back(rec);
    }
    ADD_FAILURE() << "more records than slots";
    return out;
}

}  // namespace kstest
