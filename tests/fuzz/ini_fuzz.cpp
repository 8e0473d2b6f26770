// The configuration file through EncodeInit and EncodeExit: any INI text, and
// any 255 bytes in the host's path buffer (no terminator promised). The path
// buffer is exactly 255 bytes long so the sanitizer sees any access past it.
//
// Input: selector, port byte, then the file's text.
//   selector bit 0: the path buffer is the fuzz input's first 255 text bytes
//                   (a name in the working folder); else the file's real path
//            bit 1: a Mifare lock encoder's bridge on COM (port byte)
//            bit 2: a collector's bridge, found before any encoder
//            bit 3: the contact encoder on COM (port byte)
//            bit 4: EncodeInit runs twice (a reload)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "api/encoder_state.h"
#include "base/result_codes.h"
#include "fuzz_support.h"
#include "ic_bench.h"
#include "kestrane.h"
#include "usb_bench.h"

namespace {

constexpr uint8_t kFuzzedPath = 1 << 0;
constexpr uint8_t kMifareBridge = 1 << 1;
constexpr uint8_t kCollectorBridge = 1 << 2;
constexpr uint8_t kIcEncoder = 1 << 3;
constexpr uint8_t kReload = 1 << 4;
constexpr size_t kPathBuffer = 255;
constexpr size_t kTextLimit = 8192;

const std::string &ConfigPath() {
    static const std::string path = [] {
        const char *dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        return std::string(dir) + "/kestrane-fuzz-" + std::to_string(getpid()) + ".ini";
    }();
    static const bool removedAtExit = std::atexit([] { std::remove(path.c_str()); }) == 0;
    (void)removedAtExit;
    return path;
}

void WriteConfig(const std::vector<uint8_t> &text) {
    const int fd = open(ConfigPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    FUZZ_CHECK(fd >= 0);
    FUZZ_CHECK(write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()));
    close(fd);
}

void CheckInit(int16_t result, const std::vector<char> &path) {
    FUZZ_CHECK_RESULT(result, KS_OK, KS_ERR_OPEN_OR_NO_DEV, KS_ERR_MEDIUM_RESERVED);
    FUZZ_CHECK(static_cast<uint8_t>(path[1]) == g_encoder.PortNumber);
    const int16_t lock = g_encoder.LockType;
    const bool served = lock == kLockIc4442 || lock == kLockTemic || lock == kLockMifare;
    if (result == KS_ERR_MEDIUM_RESERVED) FUZZ_CHECK(!served);
    if (result == KS_OK) FUZZ_CHECK(served);
    // The contact encoder is held exactly when LockType 2 opened it.
    FUZZ_CHECK((g_encoder.IcHandle != 0) == (lock == kLockIc4442 && result == KS_OK));
    FUZZ_CHECK(bench::OpenCount("MWIC_32") == (g_encoder.IcHandle != 0 ? 1 : 0));
    FUZZ_CHECK(bench::TotalOpen() == bench::OpenCount("MWIC_32"));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::FreshStart();

    fuzz::Input in(data, size);
    const uint8_t selector = in.Byte();
    const uint8_t port = in.Byte();
    const std::vector<uint8_t> text = in.Take(kTextLimit);
    WriteConfig(text);

    std::vector<char> path(kPathBuffer, '\0');
    if (selector & kFuzzedPath) {
        // Any bytes, but a name in the working folder only: a path to a
        // terminal or a pipe would block the run, not test the library.
        for (size_t i = 0; i < kPathBuffer && i < text.size(); ++i)
            path[i] = text[i] == '/' ? '_' : static_cast<char>(text[i]);
    } else {
        const std::string &p = ConfigPath();
        std::copy(p.begin(), p.end(), path.begin());
    }
    if (selector & kCollectorBridge)
        bench::AttachBridge(bench::Bridge{"USB Data Pick Device", "FUZZINIPDA", 0x10C4, 0xEA60, 8});
    if (selector & kMifareBridge)
        bench::AttachBridge(bench::Bridge{"Mifare Card Lock Device", "FUZZINIM1", 0x10C4, 0xEA60, port});
    if (selector & kIcEncoder) bench::PlaceIcEncoder(port);

    std::vector<char> again = path;
    const int16_t init = EncodeInit(path.data());
    CheckInit(init, path);
    // Discovery settles the port only for a lock encoder found first.
    if ((selector & kMifareBridge) && !(selector & kCollectorBridge) && port != 0)
        FUZZ_CHECK(g_encoder.PortNumber == port);
    if (selector & kReload) {
        // A reload of the same file settles the same state (the encoder it
        // held is closed and opened again).
        const EncoderState before = g_encoder;
        const int16_t reloaded = EncodeInit(again.data());
        CheckInit(reloaded, again);
        FUZZ_CHECK(reloaded == init);
        FUZZ_CHECK(g_encoder.LockType == before.LockType && g_encoder.PortNumber == before.PortNumber);
        FUZZ_CHECK(std::equal(before.SystemPassword, before.SystemPassword + 4, g_encoder.SystemPassword));
        FUZZ_CHECK(g_encoder.MifareSector == before.MifareSector);
        FUZZ_CHECK((g_encoder.IcHandle != 0) == (before.IcHandle != 0));
    }

    const int16_t lock = g_encoder.LockType;
    const int16_t exited = EncodeExit();
    FUZZ_CHECK_RESULT(exited, KS_OK, KS_ERR_IC_NOT_OPEN, KS_ERR_MEDIUM_RESERVED, KS_ERR_UNAVAILABLE);
    if (lock == kLockTemic || lock == kLockMifare) FUZZ_CHECK(exited == KS_OK);
    FUZZ_CHECK(g_encoder.LockType == lock);
    fuzz::CheckNothingOpen();
    return 0;
}
