// Memory that ends at an inaccessible page, for tests that hand the library
// exactly-sized arrays: reading or writing one byte past the end faults at
// once, in every build, with or without a sanitizer.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kstest {

class GuardedBlock {
public:
    // `bytes` readable and writable bytes (zero allowed: the block then is
    // the guard page itself) directly in front of a page that faults.
    explicit GuardedBlock(size_t bytes);
    ~GuardedBlock();
    GuardedBlock(GuardedBlock &&other) noexcept;
    GuardedBlock &operator=(GuardedBlock &&other) noexcept;
    GuardedBlock(const GuardedBlock &) = delete;
    GuardedBlock &operator=(const GuardedBlock &) = delete;

    uint8_t *data() const { return data_; }
    size_t size() const { return size_; }

private:
    void Release();
    void *mapping_ = nullptr;
    size_t mappingSize_ = 0;
    uint8_t *data_ = nullptr;
    size_t size_ = 0;
};

// An element array (16-bit values) of exactly `count` elements, each set to
// `fill`, on a GuardedBlock.
class GuardedElements {
public:
    explicit GuardedElements(size_t count, int16_t fill = 0);
    explicit GuardedElements(const std::vector<int16_t> &values);

    int16_t *get() const { return reinterpret_cast<int16_t *>(block_.data()); }
    size_t count() const { return count_; }
    int16_t &operator[](size_t i) const { return get()[i]; }
    std::vector<int16_t> values() const { return std::vector<int16_t>(get(), get() + count_); }

private:
    GuardedBlock block_;
    size_t count_;
};

}  // namespace kstest
