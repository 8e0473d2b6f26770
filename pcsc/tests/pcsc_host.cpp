// pcsc_host CONFIG: a host that keeps the library open as a front desk does
// (EncodeInit once), linked with libkestrane.so and libkestrane_pcsc.so.
// Commands, one a line on stdin:
//   read              ReadCard; prints its result code and the card's serial
//   clear             ClearCardData; prints its result code and the serial
//   pause FUNCTION N  the Nth call of the vendor function FUNCTION from now
//                     on waits: the host prints "paused FUNCTION" and goes
//                     on at the next line read (a test swaps or re-seats
//                     the card in between)
// End of input calls EncodeExit.
//
// The vendor functions a pause can name are defined here, in front of the
// PC/SC library's (the executable's definitions win the dynamic lookup), and
// pass each call on to it.
#include <dlfcn.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

#include "kestrane.h"
#include "media/vendor/mwic_32.h"
#include "media/vendor/rc500_232.h"

namespace {

std::string g_pauseAt;
int g_callsLeft = 0;

void MaybePause(const char *function) {
    if (g_pauseAt != function || --g_callsLeft != 0) return;
    g_pauseAt.clear();
    std::cout << "paused " << function << std::endl;
    std::string go;
    std::getline(std::cin, go);
}

template <typename Fn>
Fn Next(const char *name) {
    void *fn = dlsym(RTLD_NEXT, name);
    if (fn == nullptr) {
        std::fprintf(stderr, "pcsc_host: %s not found behind the host\n", name);
        std::abort();
    }
    return reinterpret_cast<Fn>(fn);
}

// Pauses, then calls the PC/SC library's NAME with the same arguments.
#define KS_PASS_ON(NAME, ...)                                     \
    MaybePause(#NAME);                                            \
    static const auto next = Next<decltype(&NAME)>(#NAME);        \
    return next(__VA_ARGS__)

std::string Hex(const std::array<int16_t, 8> &serial) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%02X%02X%02X%02X", serial[0] & 0xFF, serial[1] & 0xFF, serial[2] & 0xFF,
                  serial[3] & 0xFF);
    return hex;
}

}  // namespace

extern "C" {
int16_t srd_4442(int32_t h, int16_t a, int16_t n, uint8_t *out) { KS_PASS_ON(srd_4442, h, a, n, out); }
int16_t swr_4442(int32_t h, int16_t a, int16_t n, const uint8_t *in) { KS_PASS_ON(swr_4442, h, a, n, in); }
int16_t csc_4442(int32_t h, int16_t n, const uint8_t *psc) { KS_PASS_ON(csc_4442, h, n, psc); }
int16_t RC500_232_authkey(uint8_t mode, uint8_t sector, const uint8_t *key) {
    KS_PASS_ON(RC500_232_authkey, mode, sector, key);
}
int16_t RC500_232_read(uint8_t block, uint8_t *data) { KS_PASS_ON(RC500_232_read, block, data); }
int16_t RC500_232_write(uint8_t block, const uint8_t *data) { KS_PASS_ON(RC500_232_write, block, data); }
}

int main(int argc, char **argv) {
    if (argc != 2) return 2;
    char path[260] = {};
    std::snprintf(path, sizeof path, "%s", argv[1]);
    std::cout << EncodeInit(path) << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream words(line);
        std::string command;
        words >> command;
        std::array<int16_t, 8> serial{};
        if (command == "pause") {
            words >> g_pauseAt >> g_callsLeft;
        } else if (command == "read") {
            std::array<int16_t, 1> number{}, option{}, typeCode{};
            std::array<int16_t, 4> listA{}, listB{}, listC{};
            std::array<int16_t, 12> wide{};
            std::array<int16_t, 6> start{}, end{};
            const int16_t result = ReadCard(serial.data(), 0, number.data(), listA.data(), listB.data(), wide.data(),
                                            option.data(), typeCode.data(), listC.data(), start.data(), end.data());
            std::cout << result << " " << Hex(serial) << std::endl;
        } else if (command == "clear") {
            const int16_t result = ClearCardData(serial.data());
            std::cout << result << " " << Hex(serial) << std::endl;
        }
    }
    EncodeExit();
    return 0;
}
