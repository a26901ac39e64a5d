// Shared pieces of the fuzz targets: reporting a violated property, reading
// an input front to back, guarded memory regions and byte-exact change
// checks.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <vector>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZEL_FUZZ_HAS_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define ZEL_FUZZ_HAS_ASAN 1
#endif
#if defined(ZEL_FUZZ_HAS_ASAN)
#include <sanitizer/asan_interface.h>
#endif

namespace zelfuzz {

// A violated property: the message goes to stderr (run-fuzz.sh looks for
// the marker) and the process aborts, so libFuzzer keeps the input as a
// crash artifact.
[[noreturn]] inline void Violation(const char *format, ...) {
    std::fputs("\n==ZELFUZZ== PROPERTY VIOLATED: ", stderr);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    std::abort();
}

// Checks a property; on failure reports the formatted message.
#define ZEL_EXPECT(condition, ...)                            \
    do {                                                      \
        if (!(condition)) ::zelfuzz::Violation(__VA_ARGS__); \
    } while (0)

// Reads an input from the front; an exhausted input reads as zeros, so
// every input, however short, is a complete test case.
class ByteReader {
public:
    ByteReader(const uint8_t *data, std::size_t size) : data_(data), size_(size) {}

    bool Empty() const { return at_ >= size_; }
    std::size_t Remaining() const { return Empty() ? 0 : size_ - at_; }

    uint8_t Byte() { return Empty() ? 0 : data_[at_++]; }

    uint16_t U16() {
        uint16_t value = Byte();
        value = static_cast<uint16_t>(value | (Byte() << 8));
        return value;
    }

    uint32_t U32() {
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(Byte()) << (8 * i);
        return value;
    }

    // Up to `count` bytes into `out`, the rest of `out` left as it is.
    std::size_t Bytes(void *out, std::size_t count) {
        const std::size_t n = count < Remaining() ? count : Remaining();
        if (n != 0) std::memcpy(out, data_ + at_, n);
        at_ += n;
        return n;
    }

    // A length byte (taken modulo `limit` + 1) and that many bytes.
    std::vector<uint8_t> Piece(std::size_t limit) {
        const std::size_t wanted = Byte() % (limit + 1);
        std::vector<uint8_t> piece(wanted < Remaining() ? wanted : Remaining());
        Bytes(piece.data(), piece.size());
        return piece;
    }

    // Everything left.
    std::vector<uint8_t> Rest() {
        std::vector<uint8_t> rest(Remaining());
        Bytes(rest.data(), rest.size());
        return rest;
    }

private:
    const uint8_t *data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// A NUL-terminated text in an allocation of exactly its length plus one, so
// that AddressSanitizer catches any read past the terminator. The text ends
// at the first NUL of `bytes`.
class ExactText {
public:
    explicit ExactText(const std::vector<uint8_t> &bytes) {
        std::size_t length = 0;
        while (length < bytes.size() && bytes[length] != 0) ++length;
        text_ = static_cast<char *>(std::malloc(length + 1));
        if (length != 0) std::memcpy(text_, bytes.data(), length);
        text_[length] = '\0';
        copy_.assign(text_, text_ + length + 1);
    }
    ~ExactText() { std::free(text_); }
    ExactText(const ExactText &) = delete;
    ExactText &operator=(const ExactText &) = delete;

    char *Get() const { return text_; }
    std::size_t Length() const { return copy_.size() - 1; }
    bool Unchanged() const { return std::memcmp(text_, copy_.data(), copy_.size()) == 0; }

private:
    char *text_ = nullptr;
    std::vector<char> copy_;
};

// A record of `size` bytes between two guard areas of `guard` bytes each
// (a multiple of 64), all in one allocation. The guard bytes hold a known pattern and, under
// AddressSanitizer, are poisoned, so that any access to them traps at once;
// CheckGuards() also compares their pattern afterwards.
class GuardedRegion {
public:
    explicit GuardedRegion(std::size_t size, std::size_t guard = 256) : size_(size), guard_(guard) {
        total_ = guard_ + RoundUp(size_) + guard_;
        base_ = static_cast<uint8_t *>(std::aligned_alloc(64, RoundUpTo(total_, 64)));
        for (std::size_t i = 0; i < total_; ++i) base_[i] = Pattern(i);
        Poison();
    }
    ~GuardedRegion() {
        Unpoison();
        std::free(base_);
    }
    GuardedRegion(const GuardedRegion &) = delete;
    GuardedRegion &operator=(const GuardedRegion &) = delete;

    uint8_t *Data() const { return base_ + guard_; }
    std::size_t Size() const { return size_; }

    // Every guard byte (and the padding after the record) still holds its
    // pattern.
    void CheckGuards(const char *what) {
        Unpoison();
        for (std::size_t i = 0; i < total_; ++i) {
            if (i >= guard_ && i < guard_ + size_) continue;
            if (base_[i] != Pattern(i)) {
                const long offset = static_cast<long>(i) - static_cast<long>(guard_);
                Violation("%s: byte at offset %ld from the start of the %zu-byte record (outside it) was changed "
                          "from 0x%02x to 0x%02x",
                          what, offset, size_, Pattern(i), base_[i]);
            }
        }
        Poison();
    }

private:
    static std::size_t RoundUpTo(std::size_t n, std::size_t unit) { return (n + unit - 1) / unit * unit; }
    static std::size_t RoundUp(std::size_t n) { return RoundUpTo(n, 8); }
    static uint8_t Pattern(std::size_t i) { return static_cast<uint8_t>(0xA5 ^ (i * 131) ^ (i >> 8)); }

    void Poison() {
#if defined(ZEL_FUZZ_HAS_ASAN)
        ASAN_POISON_MEMORY_REGION(base_, guard_);
        ASAN_POISON_MEMORY_REGION(base_ + guard_ + size_, total_ - guard_ - size_);
#endif
    }
    void Unpoison() {
#if defined(ZEL_FUZZ_HAS_ASAN)
        ASAN_UNPOISON_MEMORY_REGION(base_, total_);
#endif
    }

    std::size_t size_;
    std::size_t guard_;
    std::size_t total_ = 0;
    uint8_t *base_ = nullptr;
};

// A byte range [begin, end) of a record.
struct Range {
    std::size_t begin;
    std::size_t end;
};

// Every byte that differs between `before` and `after` lies in one of the
// `allowed` ranges.
inline void ExpectChangesOnlyIn(const uint8_t *before, const uint8_t *after, std::size_t size,
                                std::initializer_list<Range> allowed, const char *what) {
    for (std::size_t i = 0; i < size; ++i) {
        if (before[i] == after[i]) continue;
        bool inside = false;
        for (const Range &range : allowed) inside = inside || (i >= range.begin && i < range.end);
        if (!inside)
            Violation("%s: byte at offset %zu (0x%zx) changed from 0x%02x to 0x%02x, outside the fields this "
                      "operation may write",
                      what, i, i, before[i], after[i]);
    }
}

// FNV-1a, to derive deterministic contents from an input.
inline uint64_t Hash(const uint8_t *data, std::size_t size) {
    uint64_t h = 1469598103934665603ull;
    for (std::size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 1099511628211ull;
    return h;
}

inline uint64_t NextRandom(uint64_t &state) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return state >> 33;
}

// A status table of entries 0-3 (12555 bytes) for each seed 0-255, made
// once and then copied, so that every run starts from varied entries
// without paying for making them.
inline const uint8_t *TableTemplate(uint8_t seed) {
    static std::vector<std::vector<uint8_t>> tables(256);
    std::vector<uint8_t> &table = tables[seed];
    if (table.empty()) {
        table.resize(9 * 9 * 155);
        uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
        for (uint8_t &entry : table) entry = static_cast<uint8_t>(NextRandom(state) & 3);
    }
    return table.data();
}

// Arbitrary bytes, made once, to fill records with.
inline const uint8_t *NoiseBytes(std::size_t size) {
    static std::vector<uint8_t> noise;
    if (noise.size() < size) {
        noise.resize(size);
        uint64_t state = 0x5EED;
        for (uint8_t &byte : noise) byte = static_cast<uint8_t>(NextRandom(state));
    }
    return noise.data();
}

}  // namespace zelfuzz
