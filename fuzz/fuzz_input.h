// fuzz_input.h: the fuzzer's bytes read front to back by the fuzz targets. Past the end every
// read gives zeros or nothing, so a short input is as valid as a long one.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace kx::fuzz {

class Input {
  public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    // Up to `wanted` bytes from the front; `*out` points at them.
    std::size_t Take(std::size_t wanted, const std::uint8_t** out) {
        const std::size_t n = std::min(wanted, size_ - pos_);
        *out = data_ + pos_;
        pos_ += n;
        return n;
    }
    std::vector<std::uint8_t> Bytes(std::size_t wanted) {
        const std::uint8_t* bytes = nullptr;
        const std::size_t n = Take(wanted, &bytes);
        return {bytes, bytes + n};
    }
    // Fills a record with `fill` (so that its fields carry no terminator), then overwrites it
    // from the front with as many input bytes as it holds.
    void FillRecord(void* record, std::size_t size, std::uint8_t fill) {
        std::memset(record, fill, size);
        const std::uint8_t* bytes = nullptr;
        const std::size_t n = Take(size, &bytes);
        if (n != 0) std::memcpy(record, bytes, n);
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

}  // namespace kx::fuzz
