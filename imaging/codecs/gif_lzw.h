#pragma once

// Decoder and encoder of the LZW code stream of a GIF image.
//
// Codes are read least significant bit first, starting one bit wider than the
// minimum code size and growing by a bit whenever the next free table entry
// needs it, up to 12 bits. A full table (4096 entries) stays in use at 12 bits
// until the stream sends a clear code. Minimum code sizes 9 to 11 are accepted
// as browsers accept them (the indices then reach past 255, which no colour
// table holds); 12 and above leave no room for a single table entry and are
// refused.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace rastel::imaging {

class GifLzwDecoder {
public:
    static constexpr int kMaxCodeSize = 11;

    // `data` is the image data with the sub-block length bytes removed. Throws
    // Error for a minimum code size above kMaxCodeSize.
    GifLzwDecoder(std::span<const std::uint8_t> data, int minCodeSize);

    // Writes the next pixel indices to `out` and returns how many were written:
    // all of them, or fewer when the stream ends with its end code (ended()
    // then says so). Throws Error for a code the table does not hold yet and
    // for data that runs out before its end code.
    std::size_t read(std::span<std::uint16_t> out);
    bool ended() const { return ended_; }

private:
    int nextCode();
    void reset();

    std::span<const std::uint8_t> data_;
    std::size_t pos_ = 0;
    std::uint32_t bits_ = 0;
    int bitCount_ = 0;

    int clear_ = 0;
    int width_ = 0;
    int next_ = 0;
    int prev_ = -1;
    bool ended_ = false;

    // Entry n is the string of entry prefix_[n] followed by suffix_[n];
    // first_[n] is its first index and length_[n] its length.
    std::vector<std::uint16_t> prefix_, suffix_, first_, length_;
    // The part of the last string that did not fit the caller's buffer, last index first.
    std::vector<std::uint16_t> pending_;
    std::size_t pendingCount_ = 0;
};

// Encoder of pixel indices into GIF image data, already cut into sub-blocks.
//
// The stream starts with a clear code; codes are written least significant
// bit first, one bit wider than the minimum code size, and grow by a bit as
// the decoder's table will need it, up to 12 bits. When the table is full a
// clear code starts it afresh. finish() writes the end code, the last short
// sub-block and the empty block that ends the data.
class GifLzwEncoder {
public:
    // `minCodeSize` is 2..8; every index given must be below 2^minCodeSize.
    explicit GifLzwEncoder(int minCodeSize);

    void write(std::span<const std::uint8_t> indices);
    void finish();

    // The sub-blocks made so far; the caller may take them and clear it.
    std::vector<std::uint8_t>& output() { return out_; }

private:
    void put(int code);
    void cutBlocks();
    void reset();

    int clear_ = 0;
    int width_ = 0;
    int next_ = 0;
    int prefix_ = -1;  // the code of the string matched so far, -1 before the first index

    // Codes are gathered into bytes 32 bits at a time, in raw_, and cut into
    // sub-blocks in out_ once raw_ holds kRawBlocks of them.
    static constexpr std::size_t kRawBlocks = 64;
    std::uint64_t bits_ = 0;
    int bitCount_ = 0;
    std::array<std::uint8_t, 255 * kRawBlocks + 4> raw_{};
    std::size_t rawLength_ = 0;
    std::vector<std::uint8_t> out_;

    // Open addressing from (prefix code << 8 | index) to the code of that
    // string: each slot holds the code in its top 12 bits and the key in its
    // low 20, or kEmptySlot. Four times the codes a table holds keeps the
    // probes short (a quarter faster on photos than twice).
    static constexpr int kSlotBits = 14;
    static constexpr std::size_t kSlots = std::size_t{1} << kSlotBits;
    static constexpr std::uint32_t kEmptySlot = 0xFFFFFFFF;
    std::vector<std::uint32_t> slots_;
};

}  // namespace rastel::imaging
