// pcsc_host CONFIG: a host that keeps the library open as a front desk does
// (EncodeInit once), linked with libkestrane.so and libkestrane_pcsc.so.
// Each line "read" on stdin calls ReadCard and prints its result code and
// the card's serial; end of input calls EncodeExit.
#include <array>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "kestrane.h"

int main(int argc, char **argv) {
    if (argc != 2) return 2;
    char path[260] = {};
    std::snprintf(path, sizeof path, "%s", argv[1]);
    std::cout << EncodeInit(path) << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line != "read") continue;
        std::array<int16_t, 8> serial{};
        std::array<int16_t, 1> number{}, option{}, typeCode{};
        std::array<int16_t, 4> listA{}, listB{}, listC{};
        std::array<int16_t, 12> wide{};
        std::array<int16_t, 6> start{}, end{};
        const int16_t result = ReadCard(serial.data(), 0, number.data(), listA.data(), listB.data(), wide.data(),
                                        option.data(), typeCode.data(), listC.data(), start.data(), end.data());
        char hex[16];
        std::snprintf(hex, sizeof hex, "%02X%02X%02X%02X", serial[0] & 0xFF, serial[1] & 0xFF, serial[2] & 0xFF,
                      serial[3] & 0xFF);
        std::cout << result << " " << hex << std::endl;
    }
    EncodeExit();
    return 0;
}
