#pragma once

// Decoder of the LZW code stream of a GIF image.
//
// Codes are read least significant bit first, starting one bit wider than the
// minimum code size and growing by a bit whenever the next free table entry
// needs it, up to 12 bits. A full table (4096 entries) stays in use at 12 bits
// until the stream sends a clear code. Minimum code sizes 9 to 11 are accepted
// as browsers accept them (the indices then reach past 255, which no colour
// table holds); 12 and above leave no room for a single table entry and are
// refused.

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

}  // namespace rastel::imaging
