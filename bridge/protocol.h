// The channel between Kestrane64.dll (the 64-bit client) and
// KestraneHost32.exe (the 32-bit host that loads Kestrane.dll): the shape of
// every export, how many elements of each array a call carries, and the two
// messages. Plain C++ with no operating-system calls, so the host's decoder
// compiles and is fuzzed on Linux too.
//
// A call carries, per array argument, the elements the export reads or may
// write (a prefix of the array), or "null". The host runs the export on its
// own copies and answers the result plus the elements whose value changed;
// the client stores exactly those. So the caller's memory sees the same
// stores as under a 32-bit caller, and never one where the library would not
// have stored.
//
// Message layout (little-endian; both ends are x86):
//   header  kHeaderSize bytes: kind (u16), export id (u16), body length (u32)
//   call    per argument of the export, in order:
//             scalar  i32
//             array   count (u16; kNullArray for a null pointer), then count
//                     values: i16 each for element arrays, one byte each for
//                     the path buffer
//   reply   result (i16), then per array argument: changed count (u16) and
//           that many (index u16, value i16) pairs
//   error   code (u16): the host refused the message and ends the connection
#pragma once

#include <cstddef>
#include <cstdint>

namespace bridge {

enum class Export : uint16_t {
    EncodeInit, EncodeExit,
    MakeTimeCard, MakeEmergentCard, MakeGuestCard, MakeFloorCard, MakeCleanDistrictCard,
    MakeBuildingCard, MakeLongOpenCard, MakeChiefCard, MakeInstallCard, MakeLostCard,
    MakeDataCard, MakeGuestLeaveCard, MakeSealCard,
    ReadCard, ReadSystemPas, ClearCardData, M1_ReadSn, TM_ReadSn, Des2, ReadDataCard,
    ReadOneOpenDoorRecord, PDA_SetTime, PDA_SetRoomNumber,
};
constexpr int kExportCount = 25;
constexpr int kMaxArgs = 11;

enum class ArgKind : uint8_t {
    None,      // past the export's last argument
    Scalar,    // a 32-bit value
    Elements,  // an array of 16-bit elements
    Bytes,     // EncodeInit's path buffer (chars)
};

struct ExportShape {
    const char *name;
    uint8_t argCount;
    ArgKind kind[kMaxArgs];
    // Most elements any call of this export carries for each array argument:
    // the host's buffers hold this many, and the decoder refuses more.
    uint16_t capacity[kMaxArgs];
};
const ExportShape &ShapeOf(Export e);
bool ValidExport(uint16_t id);

// The arguments of one call as the caller passed them (client side).
struct CallArgs {
    int32_t scalar[kMaxArgs] = {};
    void *array[kMaxArgs] = {};  // int16_t* for element arrays, char* for the path
};
// How many elements (from element 0 on) the call carries for array argument
// `arg`: every element the library reads or may write for these arguments.
// 0 for a null array or one the export does not touch.
uint16_t CarryCount(Export e, int arg, const CallArgs &args);

// ---- messages --------------------------------------------------------------
enum class Kind : uint16_t { Call = 1, Reply = 2, Error = 3 };
constexpr size_t kHeaderSize = 8;
constexpr uint16_t kNullArray = 0xFFFF;
// Larger than any well-formed call or reply (the path buffer and ReadCard's
// arrays are the biggest): a longer body is refused before it is read.
constexpr uint32_t kMaxBody = 4096;

// Why the host refused a message (the error message's code).
enum class DecodeError : uint16_t {
    None = 0, ShortHeader, BadKind, BadExport, TooLong, Truncated, BadCount, TrailingBytes, BadIndex,
};

struct Header {
    Kind kind;
    uint16_t exportId;
    uint32_t bodyLength;
};

// One decoded call, in fixed storage: no allocation, bounds from the shape.
struct Call {
    Export exportId = Export::EncodeInit;
    int32_t scalar[kMaxArgs] = {};
    bool present[kMaxArgs] = {};   // false: the caller passed null
    uint16_t count[kMaxArgs] = {};  // elements carried
    int16_t value[kMaxArgs][256] = {};  // element arrays; the path uses the low byte
};
constexpr uint16_t kMaxCapacity = 256;

// The header of any message; checks its kind and body length.
DecodeError DecodeHeader(const uint8_t *data, size_t size, Header *out);
// A call's body against its export's shape.
DecodeError DecodeCallBody(const Header &h, const uint8_t *body, size_t size, Call *out);
// Header and body in one buffer (the fuzz target and the tests use this).
DecodeError DecodeCallMessage(const uint8_t *data, size_t size, Call *out);

// Writes a call message for `args` into out (at least kHeaderSize + kMaxBody
// bytes); returns its length. The carried counts are stored in call->count.
size_t EncodeCall(Export e, const CallArgs &args, uint16_t carried[kMaxArgs], uint8_t *out);

// What an EncodeInit left in the library's state, as the host sees it right
// after the call: the port the library wrote into byte 1 of the path, and the
// characters of the configuration values that count (LockType's first,
// Sector's first two, Pass's first eight; 0 past a value's end). `settled` is
// 0 when the file read differently before and after the call: then what the
// library read is not known. A host replaying a caller's EncodeInit must
// report the same, or the caller's state was not restored.
struct EncoderReport {
    uint8_t settled = 0;
    uint8_t port = 0;
    char lockType = 0;
    char sector[2] = {};
    char pass[8] = {};
};
constexpr size_t kReportSize = 13;  // settled, port, lockType, sector[2], pass[8]
bool SameEncoderState(const EncoderReport &a, const EncoderReport &b);

// The reply: `before` is the call as decoded, `after` the same after the
// library ran; an EncodeInit's reply ends with `report`. Returns the length
// written to out.
size_t EncodeReply(const Call &before, const Call &after, int16_t result, const EncoderReport &report,
                   uint8_t *out);
size_t EncodeError(DecodeError error, uint8_t *out);

// A reply applied to the caller's arrays: checks it entirely first (indexes
// within what was carried), then stores the changed elements. False and no
// store at all when the reply is malformed.
// An EncodeInit's report goes to *report.
bool ApplyReply(Export e, const uint16_t carried[kMaxArgs], const uint8_t *body, size_t size,
                const CallArgs &args, int16_t *result, EncoderReport *report);

}  // namespace bridge
