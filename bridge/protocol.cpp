#include "protocol.h"

#include <cstring>

namespace bridge {
namespace {

constexpr ArgKind S = ArgKind::Scalar;
constexpr ArgKind E = ArgKind::Elements;

// Array sizes the header documents.
constexpr uint16_t kPathBuffer = 255;   // EncodeInit reads up to 255 bytes or the NUL
constexpr uint16_t kPortByte = 1;       // ... and writes byte 1
constexpr uint16_t kCardSerial = 8;
constexpr uint16_t kList = 4;
constexpr uint16_t kWideList = 12;
constexpr uint16_t kLostList = 4;       // the lost card reads WideList 0-3 only
constexpr uint16_t kLostListThreshold = 15;  // ... when TypeCode[0] is above this
constexpr uint16_t kTime = 5;
constexpr uint16_t kTimeCardTime = 6;   // the time card reads StartTime 0-5
constexpr uint16_t kYearOnly = 1;       // ... and only reduces EndTime[0]
constexpr uint16_t kReadTime = 6;       // ReadCard fills six of each
constexpr uint16_t kPassword = 5;
constexpr uint16_t kSerial = 8;
constexpr uint16_t kDesLengthMask = 0xFF;  // Des2 runs on the low byte of its length
constexpr uint16_t kDesMax = 255;
constexpr uint16_t kRecordHeaderList = 6;
constexpr uint16_t kRecordTime = 5;
constexpr uint16_t kRecordCardBytes = 4;
constexpr uint16_t kPdaTime = 6;
constexpr uint16_t kPdaRoom = 10;

// Card family argument positions.
enum CardArg { kSerialArg, kSpare, kNumber, kListA, kListB, kWide, kOption, kTypeCode, kListC, kStart, kEnd };

#define CARD_SHAPE(Name)                                                         \
    {#Name, 11, {E, S, S, E, E, E, S, E, E, E, E},                               \
     {kCardSerial, 0, 0, kList, kList, kWideList, 0, 1, kList, kTimeCardTime, kTime}}

const ExportShape kShapes[kExportCount] = {
    {"EncodeInit", 1, {ArgKind::Bytes}, {kPathBuffer}},
    {"EncodeExit", 0, {}, {}},
    CARD_SHAPE(MakeTimeCard), CARD_SHAPE(MakeEmergentCard), CARD_SHAPE(MakeGuestCard),
    CARD_SHAPE(MakeFloorCard), CARD_SHAPE(MakeCleanDistrictCard), CARD_SHAPE(MakeBuildingCard),
    CARD_SHAPE(MakeLongOpenCard), CARD_SHAPE(MakeChiefCard), CARD_SHAPE(MakeInstallCard),
    CARD_SHAPE(MakeLostCard), CARD_SHAPE(MakeDataCard), CARD_SHAPE(MakeGuestLeaveCard),
    CARD_SHAPE(MakeSealCard),
    {"ReadCard", 11, {E, S, E, E, E, E, E, E, E, E, E},
     {kCardSerial, 0, 1, kList, kList, kWideList, 1, 1, kList, kReadTime, kReadTime}},
    {"ReadSystemPas", 1, {E}, {kPassword}},
    {"ClearCardData", 1, {E}, {kCardSerial}},
    {"M1_ReadSn", 1, {E}, {kSerial}},
    {"TM_ReadSn", 1, {E}, {kSerial}},
    {"Des2", 3, {E, S, S}, {kDesMax}},
    {"ReadDataCard", 1, {S}, {}},
    {"ReadOneOpenDoorRecord", 8, {E, E, E, E, E, E, E, E},
     {1, 0, 0, 0, kRecordHeaderList, 1, kRecordTime, kRecordCardBytes}},
    {"PDA_SetTime", 1, {E}, {kPdaTime}},
    {"PDA_SetRoomNumber", 1, {E}, {kPdaRoom}},
};
#undef CARD_SHAPE

// Which optional arrays each card kind reads, and how much of them; mirrors
// the issuing code's table of card kinds (Install reads one element of each
// list, and of WideList element 0 and the extension bytes 8-11).
struct CardUse {
    uint16_t listA, listB, listC, wide;
};
CardUse CardUseOf(Export e) {
    switch (e) {
    case Export::MakeGuestCard: return {0, 0, 0, kWideList};
    case Export::MakeFloorCard: return {kList, 0, kList, kWideList};
    case Export::MakeCleanDistrictCard: return {0, kList, kList, kWideList};
    case Export::MakeBuildingCard: return {kList, 0, kList, kWideList};
    case Export::MakeLongOpenCard: return {0, 0, 0, kWideList};
    case Export::MakeInstallCard: return {1, 1, 0, kWideList};
    default: return {0, 0, 0, 0};
    }
}

bool IsCardFamily(Export e) {
    return e >= Export::MakeTimeCard && e <= Export::MakeSealCard;
}

uint16_t CardCarry(Export e, int arg, const CallArgs &args) {
    if (e == Export::MakeSealCard) return 0;  // issues nothing, touches nothing
    const CardUse use = CardUseOf(e);
    const bool timeCard = e == Export::MakeTimeCard;
    switch (arg) {
    case kSerialArg: return kCardSerial;
    case kListA: return use.listA;
    case kListB: return use.listB;
    case kListC: return use.listC;
    case kWide:
        if (e == Export::MakeLostCard) {
            const int16_t *typeCode = static_cast<const int16_t *>(args.array[kTypeCode]);
            return typeCode && typeCode[0] > kLostListThreshold ? kLostList : 0;
        }
        return use.wide;
    case kTypeCode: return e == Export::MakeLostCard ? 1 : 0;
    case kStart: return timeCard ? kTimeCardTime : kTime;
    case kEnd: return timeCard ? kYearOnly : kTime;
    default: return 0;
    }
}

uint16_t PathCarry(const char *path) {
    uint16_t n = 0;
    while (n < kPathBuffer && path[n] != '\0') ++n;
    // The terminator is read too (unless all 255 bytes are text), and byte 1
    // is written whatever the path's length.
    uint16_t carried = n < kPathBuffer ? n + 1 : kPathBuffer;
    return carried > kPortByte + 1 ? carried : kPortByte + 1;
}

// ---- little-endian reading and writing ----------------------------------
struct Reader {
    const uint8_t *p;
    size_t left;
    bool U16(uint16_t *v) {
        if (left < 2) return false;
        *v = static_cast<uint16_t>(p[0] | (p[1] << 8));
        p += 2, left -= 2;
        return true;
    }
    bool I16(int16_t *v) {
        uint16_t u;
        if (!U16(&u)) return false;
        *v = static_cast<int16_t>(u);
        return true;
    }
    bool I32(int32_t *v) {
        if (left < 4) return false;
        *v = static_cast<int32_t>(static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                                  (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24));
        p += 4, left -= 4;
        return true;
    }
    bool U8(uint8_t *v) {
        if (left < 1) return false;
        *v = *p++, --left;
        return true;
    }
};

struct Writer {
    uint8_t *p;
    size_t n = 0;
    void U16(uint16_t v) { p[n++] = static_cast<uint8_t>(v), p[n++] = static_cast<uint8_t>(v >> 8); }
    void I32(int32_t v) {
        const uint32_t u = static_cast<uint32_t>(v);
        for (int i = 0; i < 4; ++i) p[n++] = static_cast<uint8_t>(u >> (8 * i));
    }
    void U8(uint8_t v) { p[n++] = v; }
};

size_t Finish(Writer &w, Kind kind, uint16_t exportId) {
    const uint32_t body = static_cast<uint32_t>(w.n - kHeaderSize);
    Writer h{w.p};
    h.U16(static_cast<uint16_t>(kind));
    h.U16(exportId);
    h.I32(static_cast<int32_t>(body));
    return w.n;
}

}  // namespace

const ExportShape &ShapeOf(Export e) { return kShapes[static_cast<uint16_t>(e)]; }
bool ValidExport(uint16_t id) { return id < kExportCount; }

uint16_t CarryCount(Export e, int arg, const CallArgs &args) {
    const ExportShape &shape = ShapeOf(e);
    if (arg >= shape.argCount || shape.kind[arg] == ArgKind::Scalar || args.array[arg] == nullptr) return 0;
    if (IsCardFamily(e)) return CardCarry(e, arg, args);
    switch (e) {
    case Export::EncodeInit: return PathCarry(static_cast<const char *>(args.array[0]));
    case Export::Des2: return static_cast<uint16_t>(static_cast<uint32_t>(args.scalar[1]) & kDesLengthMask);
    default: return shape.capacity[arg];  // the documented size: read, written, or both
    }
}

DecodeError DecodeHeader(const uint8_t *data, size_t size, Header *out) {
    Reader r{data, size};
    uint16_t kind = 0;
    int32_t length = 0;
    if (!r.U16(&kind) || !r.U16(&out->exportId) || !r.I32(&length)) return DecodeError::ShortHeader;
    if (kind < static_cast<uint16_t>(Kind::Call) || kind > static_cast<uint16_t>(Kind::Error))
        return DecodeError::BadKind;
    out->kind = static_cast<Kind>(kind);
    out->bodyLength = static_cast<uint32_t>(length);
    if (out->bodyLength > kMaxBody) return DecodeError::TooLong;
    return DecodeError::None;
}

DecodeError DecodeCallBody(const Header &h, const uint8_t *body, size_t size, Call *out) {
    if (h.kind != Kind::Call) return DecodeError::BadKind;
    if (!ValidExport(h.exportId)) return DecodeError::BadExport;
    if (size != h.bodyLength) return DecodeError::Truncated;
    out->exportId = static_cast<Export>(h.exportId);
    const ExportShape &shape = ShapeOf(out->exportId);
    Reader r{body, size};
    for (int a = 0; a < shape.argCount; ++a) {
        out->present[a] = false;
        out->count[a] = 0;
        if (shape.kind[a] == ArgKind::Scalar) {
            if (!r.I32(&out->scalar[a])) return DecodeError::Truncated;
            continue;
        }
        uint16_t count = 0;
        if (!r.U16(&count)) return DecodeError::Truncated;
        if (count == kNullArray) continue;
        if (count > shape.capacity[a]) return DecodeError::BadCount;
        out->present[a] = true;
        out->count[a] = count;
        for (uint16_t i = 0; i < count; ++i) {
            if (shape.kind[a] == ArgKind::Bytes) {
                uint8_t b = 0;
                if (!r.U8(&b)) return DecodeError::Truncated;
                out->value[a][i] = static_cast<int16_t>(static_cast<int8_t>(b));
            } else if (!r.I16(&out->value[a][i])) {
                return DecodeError::Truncated;
            }
        }
    }
    return r.left == 0 ? DecodeError::None : DecodeError::TrailingBytes;
}

DecodeError DecodeCallMessage(const uint8_t *data, size_t size, Call *out) {
    Header h{};
    const DecodeError e = DecodeHeader(data, size, &h);
    if (e != DecodeError::None) return e;
    return DecodeCallBody(h, data + kHeaderSize, size - kHeaderSize, out);
}

size_t EncodeCall(Export e, const CallArgs &args, uint16_t carried[kMaxArgs], uint8_t *out) {
    const ExportShape &shape = ShapeOf(e);
    Writer w{out, kHeaderSize};
    for (int a = 0; a < shape.argCount; ++a) {
        carried[a] = 0;
        if (shape.kind[a] == ArgKind::Scalar) {
            w.I32(args.scalar[a]);
            continue;
        }
        if (args.array[a] == nullptr) {
            w.U16(kNullArray);
            continue;
        }
        carried[a] = CarryCount(e, a, args);
        w.U16(carried[a]);
        for (uint16_t i = 0; i < carried[a]; ++i) {
            if (shape.kind[a] == ArgKind::Bytes) w.U8(static_cast<uint8_t>(static_cast<const char *>(args.array[a])[i]));
            else w.U16(static_cast<uint16_t>(static_cast<const int16_t *>(args.array[a])[i]));
        }
    }
    return Finish(w, Kind::Call, static_cast<uint16_t>(e));
}

bool SameEncoderState(const EncoderReport &a, const EncoderReport &b) {
    return a.settled && b.settled && a.port == b.port && a.lockType == b.lockType &&
           std::memcmp(a.sector, b.sector, sizeof a.sector) == 0 && std::memcmp(a.pass, b.pass, sizeof a.pass) == 0;
}

size_t EncodeReply(const Call &before, const Call &after, int16_t result, const EncoderReport &report,
                   uint8_t *out) {
    const ExportShape &shape = ShapeOf(before.exportId);
    Writer w{out, kHeaderSize};
    w.U16(static_cast<uint16_t>(result));
    for (int a = 0; a < shape.argCount; ++a) {
        if (shape.kind[a] == ArgKind::Scalar) continue;
        uint16_t changed = 0;
        for (uint16_t i = 0; i < before.count[a]; ++i) changed += before.value[a][i] != after.value[a][i];
        w.U16(changed);
        for (uint16_t i = 0; i < before.count[a]; ++i) {
            if (before.value[a][i] == after.value[a][i]) continue;
            w.U16(i);
            w.U16(static_cast<uint16_t>(after.value[a][i]));
        }
    }
    if (before.exportId == Export::EncodeInit) {
        w.U8(report.settled), w.U8(report.port), w.U8(static_cast<uint8_t>(report.lockType));
        for (char c : report.sector) w.U8(static_cast<uint8_t>(c));
        for (char c : report.pass) w.U8(static_cast<uint8_t>(c));
    }
    return Finish(w, Kind::Reply, static_cast<uint16_t>(before.exportId));
}

size_t EncodeError(DecodeError error, uint8_t *out) {
    Writer w{out, kHeaderSize};
    w.U16(static_cast<uint16_t>(error));
    return Finish(w, Kind::Error, 0);
}

bool ApplyReply(Export e, const uint16_t carried[kMaxArgs], const uint8_t *body, size_t size,
                const CallArgs &args, int16_t *result, EncoderReport *report) {
    const ExportShape &shape = ShapeOf(e);
    // First pass: the whole reply must be well formed before anything is stored.
    for (int pass = 0; pass < 2; ++pass) {
        Reader r{body, size};
        if (!r.I16(result)) return false;
        for (int a = 0; a < shape.argCount; ++a) {
            if (shape.kind[a] == ArgKind::Scalar) continue;
            uint16_t changed = 0;
            if (!r.U16(&changed) || changed > carried[a]) return false;
            for (uint16_t k = 0; k < changed; ++k) {
                uint16_t index = 0;
                int16_t value = 0;
                if (!r.U16(&index) || !r.I16(&value) || index >= carried[a]) return false;
                if (pass == 0) continue;
                if (shape.kind[a] == ArgKind::Bytes) static_cast<char *>(args.array[a])[index] = static_cast<char>(value);
                else static_cast<int16_t *>(args.array[a])[index] = value;
            }
        }
        if (e == Export::EncodeInit) {
            uint8_t bytes[kReportSize];
            for (uint8_t &b : bytes)
                if (!r.U8(&b)) return false;
            if (pass == 1 && report) {
                report->settled = bytes[0], report->port = bytes[1], report->lockType = static_cast<char>(bytes[2]);
                std::memcpy(report->sector, bytes + 3, sizeof report->sector);
                std::memcpy(report->pass, bytes + 5, sizeof report->pass);
            }
        }
        if (r.left != 0) return false;
    }
    return true;
}

}  // namespace bridge
