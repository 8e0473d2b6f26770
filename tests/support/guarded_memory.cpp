#include "guarded_memory.h"

#include <cstring>
#include <new>
#include <utility>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace kstest {
namespace {

size_t PageSize() {
#if defined(_WIN32)
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize;
#else
    return static_cast<size_t>(sysconf(_SC_PAGESIZE));
#endif
}

}  // namespace

GuardedBlock::GuardedBlock(size_t bytes) : size_(bytes) {
    const size_t page = PageSize();
    const size_t dataPages = (bytes + page - 1) / page;
    mappingSize_ = (dataPages + 1) * page;
    uint8_t *guard = nullptr;
#if defined(_WIN32)
    mapping_ = VirtualAlloc(nullptr, mappingSize_, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (mapping_ == nullptr) throw std::bad_alloc();
    guard = static_cast<uint8_t *>(mapping_) + dataPages * page;
    DWORD old = 0;
    if (!VirtualProtect(guard, page, PAGE_NOACCESS, &old)) throw std::bad_alloc();
#else
    mapping_ = mmap(nullptr, mappingSize_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping_ == MAP_FAILED) {
        mapping_ = nullptr;
        throw std::bad_alloc();
    }
    guard = static_cast<uint8_t *>(mapping_) + dataPages * page;
    if (mprotect(guard, page, PROT_NONE) != 0) throw std::bad_alloc();
#endif
    data_ = guard - bytes;
}

void GuardedBlock::Release() {
    if (mapping_ == nullptr) return;
#if defined(_WIN32)
    VirtualFree(mapping_, 0, MEM_RELEASE);
#else
    munmap(mapping_, mappingSize_);
#endif
    mapping_ = nullptr;
}

GuardedBlock::~GuardedBlock() { Release(); }

GuardedBlock::GuardedBlock(GuardedBlock &&other) noexcept { *this = std::move(other); }

GuardedBlock &GuardedBlock::operator=(GuardedBlock &&other) noexcept {
    if (this != &other) {
        Release();
        mapping_ = std::exchange(other.mapping_, nullptr);
        mappingSize_ = std::exchange(other.mappingSize_, 0);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

GuardedElements::GuardedElements(size_t count, int16_t fill) : block_(count * sizeof(int16_t)), count_(count) {
    for (size_t i = 0; i < count; ++i) get()[i] = fill;
}

GuardedElements::GuardedElements(const std::vector<int16_t> &values)
    : block_(values.size() * sizeof(int16_t)), count_(values.size()) {
    if (!values.empty()) std::memcpy(get(), values.data(), values.size() * sizeof(int16_t));
}

}  // namespace kstest
