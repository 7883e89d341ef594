// What the fuzz targets share: a failed property stops the run with its line, input bytes are taken as
// choices, texts are built in fixed buffers (no input allocates), and output buffers end exactly at the
// capacity a target hands over, so a write past it is an address-sanitizer report.
#pragma once
#include <sanitizer/asan_interface.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace fuzz {

[[noreturn]] inline void Fail(const char *condition, const char *file, int line) {
    std::fprintf(stderr, "fuzz: property failed at %s:%d: %s\n", file, line, condition);
    std::abort();
}

// A property of the code under test: false stops the run and names the line.
#define FUZZ_REQUIRE(condition) ((condition) ? void(0) : ::fuzz::Fail(#condition, __FILE__, __LINE__))

// Longest input the targets take; scripts/fuzz passes it as -max_len and the fixed buffers are sized from it.
constexpr size_t kMaxInput = 4096;

// Whether piece is a view into whole.
inline bool Inside(std::string_view piece, std::string_view whole) {
    return piece.data() >= whole.data() && piece.data() + piece.size() <= whole.data() + whole.size();
}

// Offset of piece, a view into whole, from whole's start.
inline size_t OffsetIn(std::string_view piece, std::string_view whole) {
    return static_cast<size_t>(piece.data() - whole.data());
}

// The input read front to back as choices; once it is used up every choice reads as 0 and every text as empty.
class Input {
  public:
    Input(const uint8_t *data, size_t size) : data_(data), size_(size) {}

    bool Empty() const { return at_ == size_; }
    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    // A little-endian number of the given byte count (at most 8).
    uint64_t Bits(int bytes) {
        uint64_t value = 0;
        for (int i = 0; i < bytes; ++i) value |= static_cast<uint64_t>(Byte()) << (8 * i);
        return value;
    }
    // A text of the next byte's value in length (or what is left, if less).
    std::string_view Text() { return Take(Byte()); }
    // What is left of the input.
    std::string_view Rest() { return Take(size_ - at_); }

  private:
    std::string_view Take(size_t count) {
        if (count > size_ - at_) count = size_ - at_;
        const std::string_view text(reinterpret_cast<const char *>(data_ + at_), count);
        at_ += count;
        return text;
    }

    const uint8_t *data_;
    size_t size_;
    size_t at_ = 0;
};

// A text built in a fixed buffer; appends that do not fit are dropped and remembered.
template <size_t Capacity> class TextBuffer {
  public:
    void Clear() {
        size_ = 0;
        overflowed_ = false;
    }
    void Append(std::string_view text) {
        if (text.size() > Capacity - size_) {
            overflowed_ = true;
            return;
        }
        for (char c : text) bytes_[size_++] = c;
    }
    void Append(char c) { Append(std::string_view(&c, 1)); }
    // Appends text without the bytes in drop.
    void AppendWithout(std::string_view text, std::string_view drop) {
        for (char c : text)
            if (drop.find(c) == std::string_view::npos) Append(c);
    }
    // Appends magnitude in decimal.
    void AppendDecimal(uint64_t magnitude) {
        char digits[20];
        size_t count = 0;
        do {
            digits[count++] = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0);
        while (count > 0) Append(digits[--count]);
    }
    // Appends value in decimal, with a minus sign when it is negative.
    void AppendNumber(int64_t value) {
        if (value < 0) Append('-');
        AppendDecimal(value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value));
    }
    size_t Size() const { return size_; }
    bool Overflowed() const { return overflowed_; }
    std::string_view View() const { return {bytes_, size_}; }

  private:
    char bytes_[Capacity] = {};
    size_t size_ = 0;
    bool overflowed_ = false;
};

// An output buffer for code that writes into caller-sized buffers. Give(capacity) fills the first capacity
// elements with a mark and makes every element after them unaddressable, so a write past the capacity the
// caller gave stops the run at once and Untouched() tells whether a refused call wrote nothing.
template <class Unit, size_t Count> class GuardedBuffer {
  public:
    // Null when capacity exceeds the buffer; the caller then skips the input.
    Unit *Give(size_t capacity) {
        ASAN_UNPOISON_MEMORY_REGION(units_, sizeof units_);
        if (capacity > Count) return nullptr;
        for (size_t i = 0; i < capacity; ++i) units_[i] = kMark;
        capacity_ = capacity;
        ASAN_POISON_MEMORY_REGION(units_ + capacity, (Count - capacity) * sizeof(Unit));
        return units_;
    }
    bool Untouched() const {
        for (size_t i = 0; i < capacity_; ++i)
            if (units_[i] != kMark) return false;
        return true;
    }
    const Unit *Data() const { return units_; }

  private:
    static constexpr Unit kMark = static_cast<Unit>(0x7F);
    // Aligned so that poisoning starts exactly at the capacity (the sanitizer tracks 8-byte granules).
    alignas(64) Unit units_[Count] = {};
    size_t capacity_ = 0;
};

} // namespace fuzz
