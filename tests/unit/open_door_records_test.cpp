// The open-door record reader over the OpenDoorBuffer: slot walking, record
// validation, kind-bit clearing, the header, and fetch begin/complete/abandon.
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "datacollect/datacollect.h"
#include "datacollect/open_door_log.h"
#include "kestrane.h"

namespace {

using Slot = std::array<uint8_t, 9>;

Slot Record(uint8_t cardTag, uint8_t year, uint8_t kind, uint8_t month, uint8_t day, uint8_t hour,
            uint8_t minute) {
    return Slot{{cardTag, static_cast<uint8_t>(cardTag + 1), static_cast<uint8_t>(cardTag + 2),
                 static_cast<uint8_t>(cardTag + 3), year,
                 static_cast<uint8_t>((kind << 4) | (month & 0x0F)), day, hour, minute}};
}

struct Out {
    int16_t header = 0x7777;
    std::array<int16_t, 6> list{{0x7777, 0x7777, 0x7777, 0x7777, 0x7777, 0x7777}};
    int16_t kind = 0x7777;
    std::array<int16_t, 5> time{{0x7777, 0x7777, 0x7777, 0x7777, 0x7777}};
    std::array<int16_t, 4> card{{0x7777, 0x7777, 0x7777, 0x7777}};
    int16_t Next() { return NextOpenDoorRecord(&header, list.data(), &kind, time.data(), card.data()); }
};

// A completed fetch of a log with these header bytes and slots.
void Fetch(std::array<uint8_t, 3> header, const std::vector<Slot> &slots) {
    BeginOpenDoorFetch();
    uint8_t *buffer = OpenDoorBuffer();
    std::memcpy(buffer + kHeaderValueOffset, header.data(), header.size());
    for (size_t k = 0; k < slots.size(); ++k)
        std::memcpy(buffer + kRecordAreaStart + kRecordSize * k, slots[k].data(), kRecordSize);
    CompleteOpenDoorFetch();
}

class OpenDoorRecords : public ::testing::Test {
protected:
    void SetUp() override { ResetOpenDoorLog(); }
};

TEST_F(OpenDoorRecords, NothingBeforeTheFirstFetch) {
    Out out;
    EXPECT_EQ(out.Next(), KS_ERR_NO_RECORD);
    EXPECT_EQ(out.kind, 0x7777);
}

TEST_F(OpenDoorRecords, ValidSlotsComeBackInOrderThenNoneForGood) {
    Fetch({0x21, 0x42, 0x43},
          {Record(0x10, 9, 2, 12, 31, 23, 59), Record(0x20, 10, 5, 1, 1, 0, 0),
           Record(0x30, 99, 10, 6, 15, 12, 30)});
    const int16_t expectedTime[3][5] = {{2009, 12, 31, 23, 59}, {2010, 1, 1, 0, 0}, {2099, 6, 15, 12, 30}};
    const int16_t expectedKind[3] = {2, 5, 10};
    for (int i = 0; i < 3; ++i) {
        Out out;
        ASSERT_EQ(out.Next(), KS_OK) << "record " << i;
        EXPECT_EQ(out.kind, expectedKind[i]);
        for (int f = 0; f < 5; ++f) EXPECT_EQ(out.time[f], expectedTime[i][f]) << i << "/" << f;
        const int16_t tag = static_cast<int16_t>(0x10 * (i + 1));
        EXPECT_EQ(out.card, (std::array<int16_t, 4>{{tag, int16_t(tag + 1), int16_t(tag + 2), int16_t(tag + 3)}}));
        EXPECT_EQ(out.header, 0x21);
        EXPECT_EQ(out.list, (std::array<int16_t, 6>{{0x42, 0x43, 0, 0, 0, 0}}));
    }
    Out out;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(out.Next(), KS_ERR_NO_RECORD);
}

// Each case puts one slot before a valid sentinel record: either the slot
// itself comes back or it is skipped and the sentinel comes first.
TEST_F(OpenDoorRecords, SlotValidation) {
    struct Case {
        const char *what;
        Slot slot;
        bool returned;
    };
    const Case cases[] = {
        {"kind 0", Record(1, 9, 0, 5, 5, 5, 5), false},
        {"kind 1", Record(1, 9, 1, 5, 5, 5, 5), false},
        {"kind 2", Record(1, 9, 2, 5, 5, 5, 5), true},
        {"kind 10", Record(1, 9, 10, 5, 5, 5, 5), true},
        {"kind 11", Record(1, 9, 11, 5, 5, 5, 5), false},
        {"kind 15", Record(1, 9, 15, 5, 5, 5, 5), false},
        {"month 0", Record(1, 9, 3, 0, 5, 5, 5), false},
        {"month 12", Record(1, 9, 3, 12, 5, 5, 5), true},
        {"month 13", Record(1, 9, 3, 13, 5, 5, 5), false},
        {"day 0", Record(1, 9, 3, 5, 0, 5, 5), false},
        {"day 31", Record(1, 9, 3, 5, 31, 5, 5), true},
        {"day 32", Record(1, 9, 3, 5, 32, 5, 5), false},
        {"minute 59", Record(1, 9, 3, 5, 5, 5, 59), true},
        {"minute 60", Record(1, 9, 3, 5, 5, 5, 60), false},
        {"hour 25", Record(1, 9, 3, 5, 5, 25, 5), true},
        {"hour 255", Record(1, 9, 3, 5, 5, 255, 5), true},
        {"year byte 255", Record(1, 255, 3, 5, 5, 5, 5), true},
    };
    const Slot sentinel = Record(0xA0, 20, 7, 7, 7, 7, 7);
    for (const Case &c : cases) {
        ResetOpenDoorLog();
        Fetch({0, 0, 0}, {c.slot, sentinel});
        Out out;
        ASSERT_EQ(out.Next(), KS_OK) << c.what;
        const Slot &expected = c.returned ? c.slot : sentinel;
        EXPECT_EQ(out.card[0], expected[0]) << c.what;
        EXPECT_EQ(out.kind, expected[5] >> 4) << c.what;
        EXPECT_EQ(out.time[0], 2000 + expected[4]) << c.what;
        EXPECT_EQ(out.time[1], expected[5] & 0x0F) << c.what;
        EXPECT_EQ(out.time[2], expected[6]) << c.what;
        EXPECT_EQ(out.time[3], expected[7]) << c.what;
        EXPECT_EQ(out.time[4], expected[8]) << c.what;
    }
}

TEST_F(OpenDoorRecords, ExaminedSlotsLoseTheirKindButKeepTheirMonth) {
    Fetch({0, 0, 0}, {Record(1, 9, 4, 11, 0, 5, 5), Record(2, 9, 4, 11, 3, 5, 5), Record(3, 9, 1, 11, 3, 5, 5)});
    Out out;
    ASSERT_EQ(out.Next(), KS_OK);
    const uint8_t *buffer = OpenDoorBuffer();
    EXPECT_EQ(buffer[kRecordAreaStart + kRecKindMonth], 11);                  // turned down for its day
    EXPECT_EQ(buffer[kRecordAreaStart + kRecordSize + kRecKindMonth], 11);    // returned
    EXPECT_EQ(buffer[kRecordAreaStart + 2 * kRecordSize + kRecKindMonth], 0x1B);  // skipped by kind: untouched
    // Serving the same bytes again yields nothing: every slot was examined once.
    CompleteOpenDoorFetch();
    EXPECT_EQ(out.Next(), KS_ERR_NO_RECORD);
}

TEST_F(OpenDoorRecords, TheLastSlotIsRead) {
    std::vector<Slot> slots(kRecordSlots, Slot{});
    slots.back() = Record(0x55, 9, 6, 6, 6, 6, 6);
    Fetch({0, 0, 0}, slots);
    Out out;
    ASSERT_EQ(out.Next(), KS_OK);
    EXPECT_EQ(out.card[0], 0x55);
    EXPECT_EQ(out.Next(), KS_ERR_NO_RECORD);
}

TEST_F(OpenDoorRecords, ASecondFetchStartsAgainFromSlotZero) {
    Fetch({1, 2, 3}, {Record(0x10, 9, 2, 1, 1, 1, 1), Record(0x20, 9, 2, 1, 1, 1, 1)});
    Out out;
    ASSERT_EQ(out.Next(), KS_OK);
    Fetch({4, 5, 6}, {Record(0x30, 9, 2, 1, 1, 1, 1)});
    ASSERT_EQ(out.Next(), KS_OK);
    EXPECT_EQ(out.card[0], 0x30);
    EXPECT_EQ(out.header, 4);
    EXPECT_EQ(out.list, (std::array<int16_t, 6>{{5, 6, 0, 0, 0, 0}}));
    // Nothing of the first log survives the second fetch.
    EXPECT_EQ(out.Next(), KS_ERR_NO_RECORD);
}

// A source that fails after writing part of its log leaves nothing readable:
// neither its own bytes nor the unread records of the log before it.
TEST_F(OpenDoorRecords, AnAbandonedFetchLeavesNoRecord) {
    Fetch({0, 0, 0}, {Record(0x10, 9, 2, 1, 1, 1, 1), Record(0x20, 9, 2, 1, 1, 1, 1),
                      Record(0x30, 9, 2, 1, 1, 1, 1)});
    Out out;
    ASSERT_EQ(out.Next(), KS_OK);

    BeginOpenDoorFetch();
    const Slot partial = Record(0x40, 9, 2, 1, 1, 1, 1);
    std::memcpy(OpenDoorBuffer() + kRecordAreaStart, partial.data(), partial.size());
    AbandonOpenDoorFetch();

    EXPECT_EQ(out.Next(), KS_ERR_NO_RECORD);
    for (size_t i = 0; i < kOpenDoorBufferSize; ++i) ASSERT_EQ(OpenDoorBuffer()[i], 0) << "offset " << i;
}

TEST_F(OpenDoorRecords, NullOutputsAreRefusedAndChangeNothing) {
    Fetch({0, 0, 0}, {Record(0x10, 9, 2, 1, 1, 1, 1)});
    for (int missing = 0; missing < 5; ++missing) {
        Out out;
        int16_t *args[5] = {&out.header, out.list.data(), &out.kind, out.time.data(), out.card.data()};
        args[missing] = nullptr;
        EXPECT_EQ(NextOpenDoorRecord(args[0], args[1], args[2], args[3], args[4]), KS_ERR_UNAVAILABLE);
        EXPECT_EQ(out.kind, 0x7777);
        EXPECT_EQ(out.time[0], 0x7777);
        EXPECT_EQ(OpenDoorRecordCursor(), kRecordAreaStart);
        EXPECT_EQ(OpenDoorBuffer()[kRecordAreaStart + kRecKindMonth], 0x21);
    }
    Out out;
    EXPECT_EQ(out.Next(), KS_OK);
}

}  // namespace
