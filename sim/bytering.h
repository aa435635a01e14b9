// A bounded byte queue for the simulated adapter's serial buffers: bytes go in at the back,
// are read at the front (at an offset, without taking them) and taken off the front, each
// in at most two memcpy pieces. The storage is allocated on first use, so idle ports of
// many adapters cost nothing. Not thread-safe: the adapter's mutex guards every ring.
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <span>

namespace qsxsim {

class ByteRing {
public:
    explicit ByteRing(size_t capacity) : capacity_(capacity) {}

    size_t Size() const { return size_; }
    size_t Free() const { return capacity_ - size_; }
    bool Empty() const { return size_ == 0; }

    // Appends as many bytes as fit; the number taken.
    size_t Push(std::span<const BYTE> data) {
        const size_t n = std::min(data.size(), Free());
        if (n == 0) return 0;
        if (!storage_) storage_ = std::make_unique<BYTE[]>(capacity_);
        const size_t tail = (head_ + size_) % capacity_;
        const size_t first = std::min(n, capacity_ - tail);
        std::memcpy(storage_.get() + tail, data.data(), first);
        std::memcpy(storage_.get(), data.data() + first, n - first);
        size_ += n;
        return n;
    }

    // Copies `n` bytes starting `offset` bytes behind the front; offset + n <= Size().
    void Peek(size_t offset, size_t n, BYTE *out) const {
        if (n == 0) return;
        const size_t at = (head_ + offset) % capacity_;
        const size_t first = std::min(n, capacity_ - at);
        std::memcpy(out, storage_.get() + at, first);
        std::memcpy(out + first, storage_.get(), n - first);
    }

    // Drops `n` bytes (at most Size()) from the front.
    void Consume(size_t n) {
        n = std::min(n, size_);
        size_ -= n;
        head_ = size_ ? (head_ + n) % capacity_ : 0;
    }

    void Clear() { Consume(size_); }

private:
    const size_t capacity_;
    std::unique_ptr<BYTE[]> storage_;
    size_t head_ = 0;  // index of the front byte
    size_t size_ = 0;
};

}  // namespace qsxsim
