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

// Reads until at least `need` bytes are in data (*have counts them), taking
// whatever the pipe holds up to `capacity`: a message written whole usually
// arrives in one read, and every read is a trip through the Wine server.
inline bool ReadAtLeast(HANDLE pipe, uint8_t *data, size_t capacity, size_t need, size_t *have) {
    while (*have < need) {
        DWORD done = 0;
        if (!ReadFile(pipe, data + *have, static_cast<DWORD>(capacity - *have), &done, nullptr) || done == 0)
            return false;
        *have += done;
    }
    return true;
}

}  // namespace bridge
