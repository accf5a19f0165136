// The byte buffers a connection context shares with its pacing action: the
// send buffer being written to the socket, and the receive buffer that
// collects what the socket delivers until the layers consume it.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>

// The current send buffer: the action sends [position, length) and advances
// position. `data` is null while there is no current buffer.
struct cpSendBuffer {
    const std::uint8_t* data = nullptr;
    std::uint32_t position = 0;
    std::uint32_t length = 0;
};

// A growing receive buffer. Storage starts at 1024 bytes and doubles as
// needed; consumed bytes are removed from the front and the rest moved down.
// Storage is kept when the buffer empties, so a busy connection does not
// allocate (and copy through growth) again for every delivery; it is freed
// with the connection or by Free.
class cpReceiveBuffer {
public:
    static constexpr std::uint32_t kInitialCapacity = 1024;

    bool HasStorage() const { return data_ != nullptr; }
    void EnsureStorage() {
        if (!data_) Reserve(kInitialCapacity);
    }
    // Makes room for `more` bytes behind the held ones; false when the
    // buffer cannot grow that far.
    bool MakeRoom(std::uint32_t more) {
        if (static_cast<std::uint64_t>(held_) + more > kMaxCapacity) return false;
        std::uint32_t capacity = capacity_ ? capacity_ : kInitialCapacity;
        while (capacity < held_ + more) capacity *= 2;
        if (capacity != capacity_) Reserve(capacity);
        return true;
    }
    std::uint8_t* Tail() { return data_.get() + held_; }
    void Commit(std::uint32_t n) { held_ += n; }
    bool Append(const void* bytes, std::uint32_t n) {
        if (!MakeRoom(n)) return false;
        std::memcpy(Tail(), bytes, n);
        held_ += n;
        return true;
    }
    // Drops `n` bytes from the front.
    void Consume(std::uint32_t n) {
        if (n >= held_) {
            held_ = 0;
            return;
        }
        std::memmove(data_.get(), data_.get() + n, held_ - n);
        held_ -= n;
    }
    void Free() {
        data_.reset();
        held_ = capacity_ = 0;
    }

    const std::uint8_t* Data() const { return data_.get(); }
    std::uint32_t Held() const { return held_; }
    std::uint32_t Capacity() const { return capacity_; }

private:
    // Past this a connection whose layers do not consume is refused more data.
    static constexpr std::uint64_t kMaxCapacity = 1u << 30;

    void Reserve(std::uint32_t capacity) {
        // Not zeroed: every byte is written before it is read.
        auto bigger = std::make_unique_for_overwrite<std::uint8_t[]>(capacity);
        if (held_) std::memcpy(bigger.get(), data_.get(), held_);
        data_ = std::move(bigger);
        capacity_ = capacity;
    }

    std::unique_ptr<std::uint8_t[]> data_;
    std::uint32_t held_ = 0;
    std::uint32_t capacity_ = 0;
};
