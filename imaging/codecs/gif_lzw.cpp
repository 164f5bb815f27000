#include "imaging/codecs/gif_lzw.h"

#include <string>

#include "imaging/error.h"

namespace rastel::imaging {
namespace {

constexpr int kTableSize = 4096;  // 12-bit codes
constexpr int kMaxWidth = 12;

}  // namespace

GifLzwDecoder::GifLzwDecoder(std::span<const std::uint8_t> data, int minCodeSize)
    : data_(data),
      prefix_(kTableSize),
      suffix_(kTableSize),
      first_(kTableSize),
      length_(kTableSize),
      pending_(kTableSize) {
    if (minCodeSize < 0 || minCodeSize > kMaxCodeSize)
        fail("GIF", "LZW minimum code size " + std::to_string(minCodeSize) + " leaves no room for 12-bit codes");
    clear_ = 1 << minCodeSize;
    for (int i = 0; i < clear_; ++i) {
        suffix_[i] = first_[i] = static_cast<std::uint16_t>(i);
        length_[i] = 1;
    }
    reset();
}

void GifLzwDecoder::reset() {
    next_ = clear_ + 2;
    width_ = 1;
    while ((1 << width_) <= clear_ + 1) ++width_;  // clear and end codes fit
    prev_ = -1;
}

// The next code, or -1 when the data runs out in the middle of it.
int GifLzwDecoder::nextCode() {
    while (bitCount_ < width_) {
        if (pos_ >= data_.size()) return -1;
        bits_ |= std::uint32_t(data_[pos_++]) << bitCount_;
        bitCount_ += 8;
    }
    const int code = static_cast<int>(bits_ & ((1u << width_) - 1));
    bits_ >>= width_;
    bitCount_ -= width_;
    return code;
}

std::size_t GifLzwDecoder::read(std::span<std::uint16_t> out) {
    std::size_t n = 0;
    while (n < out.size() && pendingCount_ > 0) out[n++] = pending_[--pendingCount_];
    while (n < out.size() && !ended_) {
        const int code = nextCode();
        if (code < 0) fail("GIF", "image data ends before the image is complete");
        if (code == clear_) {
            reset();
            continue;
        }
        if (code == clear_ + 1) {
            ended_ = true;
            break;
        }
        if (prev_ < 0) {
            // Right after a clear the table holds only the single indices.
            if (code > clear_) fail("GIF", "invalid LZW code " + std::to_string(code) + " after a clear code");
        } else if (code > next_) {
            fail("GIF", "invalid LZW code " + std::to_string(code) + ": the table holds " + std::to_string(next_) +
                            " entries");
        } else if (next_ < kTableSize) {
            // The new entry is the previous string plus the first index of this
            // one; a code naming the entry being made (code == next_) starts
            // with the previous string, so that is its first index too.
            const int head = code == next_ ? first_[prev_] : first_[code];
            prefix_[next_] = static_cast<std::uint16_t>(prev_);
            suffix_[next_] = static_cast<std::uint16_t>(head);
            first_[next_] = first_[prev_];
            length_[next_] = static_cast<std::uint16_t>(length_[prev_] + 1);
            ++next_;
        }
        prev_ = code;
        // Codes grow once the next entry no longer fits; a full table keeps
        // 12-bit codes until a clear code comes.
        while (width_ < kMaxWidth && next_ >= (1 << width_)) ++width_;

        // Strings are stored back to front, so they are written from their end.
        std::size_t len = length_[code];
        int c = code;
        if (len <= out.size() - n) {
            for (std::size_t i = n + len; i > n; c = prefix_[c]) out[--i] = suffix_[c];
            n += len;
        } else {
            for (std::size_t i = 0; i < len; ++i, c = prefix_[c]) pending_[i] = suffix_[c];
            pendingCount_ = len;
            while (n < out.size()) out[n++] = pending_[--pendingCount_];
        }
    }
    return n;
}

}  // namespace rastel::imaging
