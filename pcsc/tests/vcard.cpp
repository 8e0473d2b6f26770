// kestrane_vcard: a virtual card for vsmartcard's vpcd reader driver, built
// on the bench's card models. It answers the PC/SC storage-card commands as
// a reader holding that card would, and writes the card back to its bench
// card file after every change, so a test can compare it byte for byte with
// the file the bench's serial encoder path wrote.
//
//   kestrane_vcard --card FILE.mfd|FILE.sle4442 [--port 35963]
//                  [--remove-on-write N] [--unchecked-writes] [--log FILE]
//
// vpcd's protocol: each message is a 2-byte big-endian length and its bytes;
// one byte is a control code (0 power off, 1 power on, 2 reset, 4 send the
// ATR), anything longer a command APDU, answered with the response APDU.
// --remove-on-write N takes the card out of the field at the Nth write
// command (an SLE4442 keeps the first half of that write, as a card pulled
// while programming does); --unchecked-writes answers 90 00 to an SLE4442
// write the card ignored (not unlocked, protected byte), as common contact
// readers do; --log appends each command APDU in hex.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "devices/ic_device.h"
#include "devices/rc500_device.h"
#include "persist.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kControlPowerOff = 0;
constexpr uint8_t kControlPowerOn = 1;
constexpr uint8_t kControlReset = 2;
constexpr uint8_t kControlAtr = 4;

// Command bytes (class FF storage-card commands).
constexpr size_t kCla = 0, kIns = 1, kP1 = 2, kP2 = 3, kLc = 4, kData = 5;
constexpr uint8_t kInsGetData = 0xCA, kInsLoadKey = 0x82, kInsAuthenticate = 0x86, kInsRead = 0xB0,
                  kInsUpdate = 0xD6, kInsSelectType = 0xA4, kInsProtection = 0xB2, kInsVerify = 0x20;
constexpr uint8_t kKeyVolatile = 0x00;
constexpr uint8_t kKeyTypeA = 0x60, kKeyTypeB = 0x61;
constexpr size_t kAuthBlockHigh = kData + 1, kAuthBlockLow = kData + 2, kAuthKeyType = kData + 3,
                 kAuthSlot = kData + 4;
constexpr uint8_t kCardTypeSle4442 = 0x06;

const Bytes kSwOk = {0x90, 0x00};
const Bytes kSwRefused = {0x69, 0x82};      // security status not satisfied
const Bytes kSwAuthFailed = {0x63, 0x00};
const Bytes kSwWrongLength = {0x67, 0x00};
const Bytes kSwNotAllowed = {0x69, 0x86};   // e.g. a key for the reader's non-volatile store
const Bytes kSwWrongParameter = {0x6A, 0x86};
const Bytes kSwRange = {0x6B, 0x00};
const Bytes kSwUnknown = {0x6D, 0x00};

// ATRs: PC/SC storage card (ISO 14443-A part 3, card name 00 01 / 00 02),
// and a contact reader's ATR for an SLE4442 (its answer A2 13 10 91).
const Bytes kStorageAtrHead = {0x3B, 0x8F, 0x80, 0x01, 0x80, 0x4F, 0x0C, 0xA0, 0x00, 0x00, 0x03, 0x06, 0x03};
const Bytes kSle4442Atr = {0x3B, 0x04, 0xA2, 0x13, 0x10, 0x91};
constexpr int kRc500Port = 1;
constexpr int32_t kRc500Baud = 19200;
constexpr int kIcPort = 1;
constexpr int kKeySlots = 2;
constexpr int kConnectTries = 100;  // 10 s for vpcd to come up
constexpr int kPulledOutMs = 1500;

struct Options {
    std::string card;
    int port = 35963;
    int removeOnWrite = 0;
    bool uncheckedWrites = false;
    std::string log;
};

struct State {
    Options options;
    bench::BenchCardEntry entry;
    std::string dir;
    bench::BenchCard card;
    int32_t icHandle = 0;
    bench::MifareKey keys[kKeySlots] = {};
    int writes = 0;
    std::FILE *log = nullptr;
};

bool IsMifare(const State &s) { return s.card.type == "mifare"; }

void Save(State &s) {
    if (IsMifare(s)) s.card.mifare = *bench::CurrentMifareCard();
    else s.card.sle = bench::CurrentSle4442();
    std::string error;
    if (!bench::SaveBenchCard(s.dir, s.entry, s.card, &error)) std::fprintf(stderr, "vcard: %s\n", error.c_str());
}

Bytes Atr(const State &s) {
    if (!IsMifare(s)) return kSle4442Atr;
    Bytes atr = kStorageAtrHead;
    const bool is4K = s.card.mifare.memory.size() == bench::kMifare4KSize;
    atr.insert(atr.end(), {0x00, static_cast<uint8_t>(is4K ? 0x02 : 0x01), 0x00, 0x00, 0x00, 0x00});
    uint8_t tck = 0;
    for (size_t i = 1; i < atr.size(); ++i) tck ^= atr[i];
    atr.push_back(tck);
    return atr;
}

// A power-up: the Mifare card selected afresh (no authentication), the
// SLE4442's PSC state forgotten.
void PowerUp(State &s) {
    if (IsMifare(s)) {
        bench::PlaceMifareCard(*bench::CurrentMifareCard());
        uint8_t answer[4];
        uint32_t serial = 0;
        uint8_t size[4];
        bench::rc500::Request(1, answer);
        bench::rc500::Anticoll(0, &serial);
        bench::rc500::Select(serial, size);
    } else {
        bench::InsertSle4442(bench::CurrentSle4442());
    }
}

Bytes WithSw(Bytes data, const Bytes &sw) {
    data.insert(data.end(), sw.begin(), sw.end());
    return data;
}

// The Nth write takes the card away: the caller saves and leaves.
bool RemovalDue(State &s) { return s.options.removeOnWrite > 0 && ++s.writes == s.options.removeOnWrite; }

Bytes MifareCommand(State &s, const Bytes &c, bool *removed) {
    namespace rc = bench::rc500;
    if (c[kIns] == kInsGetData && c.size() == kData) {
        const bench::MifareUid uid = bench::CurrentMifareCard()->Uid();
        return WithSw(Bytes(uid.begin(), uid.end()), kSwOk);
    }
    if (c[kIns] == kInsLoadKey) {
        if (c.size() != kData + 6 || c[kLc] != 6) return kSwWrongLength;
        if (c[kP1] != kKeyVolatile) return kSwNotAllowed;
        if (c[kP2] >= kKeySlots) return kSwWrongParameter;
        std::copy_n(c.begin() + kData, 6, s.keys[c[kP2]].begin());
        return kSwOk;
    }
    if (c[kIns] == kInsAuthenticate) {
        if (c.size() != kData + 5 || c[kLc] != 5) return kSwWrongLength;
        const int block = c[kAuthBlockHigh] << 8 | c[kAuthBlockLow];
        const uint8_t type = c[kAuthKeyType];
        if ((type != kKeyTypeA && type != kKeyTypeB) || c[kAuthSlot] >= kKeySlots ||
            block >= bench::CurrentMifareCard()->BlockCount())
            return kSwWrongParameter;
        const int sector = bench::CurrentMifareCard()->SectorOfBlock(block);
        return rc::Authkey(type == kKeyTypeA ? 0 : 1, static_cast<uint8_t>(sector), s.keys[c[kAuthSlot]].data()) == 0
                   ? kSwOk
                   : kSwAuthFailed;
    }
    if (c[kIns] == kInsRead && c.size() == kData && c[kP1] == 0 && c[kLc] == bench::kMifareBlockSize) {
        Bytes data(bench::kMifareBlockSize);
        return rc::Read(c[kP2], data.data()) == 0 ? WithSw(data, kSwOk) : kSwRefused;
    }
    if (c[kIns] == kInsUpdate && c[kP1] == 0 && c.size() == kData + bench::kMifareBlockSize &&
        c[kLc] == bench::kMifareBlockSize) {
        if (RemovalDue(s)) {
            *removed = true;
            return {};
        }
        const int16_t status = rc::Write(c[kP2], c.data() + kData);
        Save(s);
        return status == 0 ? kSwOk : kSwRefused;
    }
    return kSwUnknown;
}

Bytes Sle4442Command(State &s, const Bytes &c, bool *removed) {
    namespace ic = bench::ic;
    if (c[kIns] == kInsSelectType)
        return c.size() == kData + 1 && c[kData] == kCardTypeSle4442 ? kSwOk : kSwWrongParameter;
    if (c[kIns] == kInsRead && c.size() == kData) {
        const int16_t length = c[kLc] == 0 ? 256 : c[kLc];
        Bytes data(static_cast<size_t>(length));
        return ic::Read4442(s.icHandle, c[kP2], length, data.data()) == 0 ? WithSw(data, kSwOk) : kSwRange;
    }
    if (c[kIns] == kInsProtection && c.size() == kData) {
        // One bit per byte 0-31, set while the byte may still be written.
        const uint32_t writable = ~bench::CurrentSle4442().protectedBytes;
        Bytes bits = {static_cast<uint8_t>(writable), static_cast<uint8_t>(writable >> 8),
                      static_cast<uint8_t>(writable >> 16), static_cast<uint8_t>(writable >> 24)};
        return WithSw(bits, kSwOk);
    }
    if (c[kIns] == kInsVerify) {
        if (c.size() != kData + 3 || c[kLc] != 3) return kSwWrongLength;
        ic::ComparePsc(s.icHandle, 3, c.data() + kData);
        Save(s);
        // The error counter: one bit per try left.
        const int tries = bench::CurrentSle4442().triesLeft;
        return {0x90, static_cast<uint8_t>((1 << (tries < 0 ? 0 : tries)) - 1)};
    }
    if (c[kIns] == kInsUpdate && c.size() > kData && c.size() == kData + c[kLc]) {
        int16_t length = c[kLc];
        const bool pulled = RemovalDue(s);
        if (pulled) length = static_cast<int16_t>(length / 2);  // the card left halfway through
        const int16_t status = ic::Write4442(s.icHandle, c[kP2], length, c.data() + kData);
        Save(s);
        if (pulled) {
            *removed = true;
            return {};
        }
        return status == 0 || s.options.uncheckedWrites ? kSwOk : kSwRefused;
    }
    return kSwUnknown;
}

// vpcd sends a message's length and its bytes in two writes: acknowledging
// at once (not after the 40 ms delayed-ACK timer) keeps its second write
// from waiting on the first, so a command takes a round trip, not 40 ms.
void AcknowledgeAtOnce(int fd) {
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
}

bool ReadAll(int fd, uint8_t *p, size_t n) {
    while (n > 0) {
        AcknowledgeAtOnce(fd);
        const ssize_t got = read(fd, p, n);
        if (got <= 0) return false;
        p += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

bool Send(int fd, const Bytes &message) {
    Bytes out = {static_cast<uint8_t>(message.size() >> 8), static_cast<uint8_t>(message.size())};
    out.insert(out.end(), message.begin(), message.end());
    return write(fd, out.data(), out.size()) == static_cast<ssize_t>(out.size());
}

int Connect(int port) {
    for (int attempt = 0; attempt < kConnectTries; ++attempt) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
            const int on = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            return fd;
        }
        close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return -1;
}

// Answers vpcd until it closes the connection (or the card is pulled);
// false when vpcd closed it before sending anything.
bool Serve(State &s, int fd, bool *pulled) {
    bool talked = false;
    PowerUp(s);
    for (;;) {
        uint8_t head[2];
        if (!ReadAll(fd, head, sizeof head)) break;
        Bytes message(static_cast<size_t>(head[0] << 8 | head[1]));
        if (!ReadAll(fd, message.data(), message.size())) break;
        talked = true;
        if (message.size() == 1) {
            if (message[0] == kControlAtr && !Send(fd, Atr(s))) break;
            if (message[0] == kControlPowerOn || message[0] == kControlReset) PowerUp(s);
            (void)kControlPowerOff;  // power off: nothing survives it that a power-up does not reset
            continue;
        }
        if (message.size() < kData) {
            if (!Send(fd, kSwWrongLength)) break;
            continue;
        }
        if (s.log != nullptr) {
            for (uint8_t b : message) std::fprintf(s.log, "%02X", b);
            std::fputc('\n', s.log);
            std::fflush(s.log);
        }
        bool removed = false;
        const Bytes response = IsMifare(s) ? MifareCommand(s, message, &removed) : Sle4442Command(s, message, &removed);
        if (removed) {
            *pulled = true;
            break;
        }
        if (!Send(fd, response)) break;
    }
    return talked;
}

bool LoadCard(State &s) {
    const std::string &path = s.options.card;
    const size_t slash = path.rfind('/');
    s.dir = slash == std::string::npos ? "." : path.substr(0, slash);
    s.entry.name = "vcard";
    s.entry.file = slash == std::string::npos ? path : path.substr(slash + 1);
    const size_t dot = path.rfind('.');
    const std::string ext = dot == std::string::npos ? "" : path.substr(dot + 1);
    s.entry.type = ext == "mfd" ? "mifare" : ext;
    std::string error;
    if (!bench::LoadBenchCard(s.dir, s.entry, &s.card, &error)) {
        std::fprintf(stderr, "vcard: %s\n", error.c_str());
        return false;
    }
    bench::Reset();
    if (IsMifare(s)) {
        bench::PlaceRc500Reader(kRc500Port);
        bench::PlaceMifareCard(s.card.mifare);
        bench::rc500::Init(kRc500Port, kRc500Baud);
    } else if (s.card.type == "sle4442") {
        bench::PlaceIcEncoder(kIcPort);
        s.icHandle = bench::ic::Open(kIcPort - 1, 9600);
        bench::InsertSle4442(s.card.sle);
    } else {
        std::fprintf(stderr, "vcard: %s is neither a .mfd nor a .sle4442 card\n", path.c_str());
        return false;
    }
    return true;
}

bool ParseOptions(int argc, char **argv, Options *o) {
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--unchecked-writes") {
            o->uncheckedWrites = true;
            continue;
        }
        if (i + 1 >= argc) return false;
        const std::string value = argv[++i];
        if (name == "--card") o->card = value;
        else if (name == "--port") o->port = std::atoi(value.c_str());
        else if (name == "--remove-on-write") o->removeOnWrite = std::atoi(value.c_str());
        else if (name == "--log") o->log = value;
        else return false;
    }
    return !o->card.empty();
}

}  // namespace

int main(int argc, char **argv) {
    State s;
    if (!ParseOptions(argc, argv, &s.options)) {
        std::fprintf(stderr, "usage: kestrane_vcard --card FILE [--port N] [--remove-on-write N] [--unchecked-writes] [--log FILE]\n");
        return 2;
    }
    if (!LoadCard(s)) return 1;
    if (!s.options.log.empty()) s.log = std::fopen(s.options.log.c_str(), "a");
    // vpcd may drop a connection it accepted while it still cleans up after
    // a card that left abruptly: connect again until it talks to us.
    bool served = false;
    for (int attempt = 0; attempt < kConnectTries && !served; ++attempt) {
        const int fd = Connect(s.options.port);
        if (fd < 0) {
            std::fprintf(stderr, "vcard: no vpcd on port %d\n", s.options.port);
            return 1;
        }
        bool pulled = false;
        served = Serve(s, fd, &pulled);
        close(fd);
        // A pulled card stays out for a while, as a hand takes it away: long
        // enough for pcscd's presence poll (400 ms) to see the reader empty
        // before the next card, which would otherwise pass for this one.
        if (pulled) std::this_thread::sleep_for(std::chrono::milliseconds(kPulledOutMs));
        if (!served) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (s.log != nullptr) std::fclose(s.log);
    return 0;
}
