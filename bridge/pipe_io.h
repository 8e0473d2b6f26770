// Whole-message reads and writes on an anonymous pipe (both ends of the bridge).
#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace bridge {

inline bool WriteAll(HANDLE pipe, const uint8_t *data, size_t size) {
    while (size > 0) {
        DWORD done = 0;
        if (!WriteFile(pipe, data, static_cast<DWORD>(size), &done, nullptr) || done == 0) return false;
        data += done, size -= done;
    }
    return true;
}

inline bool ReadAll(HANDLE pipe, uint8_t *data, size_t size) {
    while (size > 0) {
        DWORD done = 0;
        if (!ReadFile(pipe, data, static_cast<DWORD>(size), &done, nullptr) || done == 0) return false;
        data += done, size -= done;
    }
    return true;
}

}  // namespace bridge
