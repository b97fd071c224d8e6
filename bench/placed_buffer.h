// Benchmark buffers placed apart from each other. Two heap blocks of 4 KiB
// side by side start 4 KiB plus the allocator's header apart, so every load
// of the source shares its low twelve address bits with a recent store to
// the destination, and the processor stalls each load on a store it cannot
// yet rule out: memcpy of 4096 bytes then runs 30 to 50 times slower here.
// Each buffer gets a page-aligned allocation of its own and starts at an
// offset of its own within it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace kelvex::bench {

class PlacedBuffer {
public:
    static constexpr std::size_t kPage = 4096;

    // offset: where the data starts within its first page; give the buffers
    // compared with each other different offsets, at least 64 bytes apart.
    PlacedBuffer(std::size_t size, std::size_t offset)
        : size_(size),
          base_(static_cast<uint8_t*>(std::aligned_alloc(kPage, round_up(size + offset)))),
          data_(base_ + offset)
    {
        if (base_ == nullptr) {
            throw std::bad_alloc();
        }
        std::memset(base_, 0, round_up(size + offset));
    }
    ~PlacedBuffer() { std::free(base_); }
    PlacedBuffer(const PlacedBuffer&) = delete;
    PlacedBuffer& operator=(const PlacedBuffer&) = delete;

    uint8_t* data() { return data_; }
    const uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    static std::size_t round_up(std::size_t n) { return (n + kPage - 1) / kPage * kPage + kPage; }

    std::size_t size_;
    uint8_t* base_;
    uint8_t* data_;
};

// Offsets for a source and a destination: half a page apart.
inline constexpr std::size_t kSourceOffset = 0;
inline constexpr std::size_t kDestinationOffset = PlacedBuffer::kPage / 2 + 64;

}  // namespace kelvex::bench
