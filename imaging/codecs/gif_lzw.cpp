#include "imaging/codecs/gif_lzw.h"

#include <cstring>
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

GifLzwEncoder::GifLzwEncoder(int minCodeSize) : clear_(1 << minCodeSize), slots_(kSlots) {
    out_.reserve(std::size_t{1} << 16);
    reset();
    put(clear_);
}

void GifLzwEncoder::reset() {
    next_ = clear_ + 2;
    width_ = 1;
    while ((1 << width_) <= clear_ + 1) ++width_;
    std::memset(slots_.data(), 0xFF, slots_.size() * sizeof(slots_[0]));
}

inline void GifLzwEncoder::put(int code) {
    bits_ |= std::uint64_t(code) << bitCount_;
    bitCount_ += width_;
    if (bitCount_ >= 32) {
        const std::uint32_t word = static_cast<std::uint32_t>(bits_);
        std::uint8_t* p = raw_.data() + rawLength_;
        p[0] = static_cast<std::uint8_t>(word);
        p[1] = static_cast<std::uint8_t>(word >> 8);
        p[2] = static_cast<std::uint8_t>(word >> 16);
        p[3] = static_cast<std::uint8_t>(word >> 24);
        rawLength_ += 4;
        bits_ >>= 32;
        bitCount_ -= 32;
        if (rawLength_ >= 255 * kRawBlocks) cutBlocks();
    }
}

// Moves the whole 255-byte sub-blocks of raw_ to out_, keeping the rest.
void GifLzwEncoder::cutBlocks() {
    std::size_t at = 0;
    for (; rawLength_ - at >= 255; at += 255) {
        out_.push_back(255);
        out_.insert(out_.end(), raw_.begin() + static_cast<std::ptrdiff_t>(at),
                    raw_.begin() + static_cast<std::ptrdiff_t>(at + 255));
    }
    std::memmove(raw_.data(), raw_.data() + at, rawLength_ - at);
    rawLength_ -= at;
}

void GifLzwEncoder::write(std::span<const std::uint8_t> indices) {
    std::size_t i = 0;
    if (prefix_ < 0) {
        if (indices.empty()) return;
        prefix_ = indices[0];
        i = 1;
    }
    std::uint32_t prefix = static_cast<std::uint32_t>(prefix_);
    constexpr std::uint32_t mask = kSlots - 1;
    std::uint32_t* const slots = slots_.data();
    for (; i < indices.size(); ++i) {
        const std::uint32_t index = indices[i];
        const std::uint32_t key = prefix << 8 | index;
        std::uint32_t slot = (key * 2654435761u) >> (32 - kSlotBits);
        std::uint32_t entry;
        while ((entry = slots[slot]) != kEmptySlot && (entry & 0xFFFFF) != key) slot = (slot + 1) & mask;
        if (entry != kEmptySlot) {
            prefix = entry >> 20;  // the string goes on
            continue;
        }
        put(static_cast<int>(prefix));
        slots[slot] = std::uint32_t(next_) << 20 | key;
        // The decoder makes this entry only when it reads the next code, so
        // codes widen once an entry past the current width exists.
        if (++next_ == kTableSize) {
            put(clear_);
            reset();
        } else if (next_ > (1 << width_)) {
            ++width_;
        }
        prefix = index;
    }
    prefix_ = static_cast<int>(prefix);
}

void GifLzwEncoder::finish() {
    if (prefix_ >= 0) {
        put(prefix_);
        // Reading that code, the decoder adds an entry and may widen the end code.
        if (++next_ > (1 << width_) && width_ < kMaxWidth) ++width_;
    }
    put(clear_ + 1);
    for (; bitCount_ > 0; bitCount_ -= 8, bits_ >>= 8) raw_[rawLength_++] = static_cast<std::uint8_t>(bits_);
    bitCount_ = 0;
    bits_ = 0;
    cutBlocks();
    if (rawLength_ > 0) {
        out_.push_back(static_cast<std::uint8_t>(rawLength_));
        out_.insert(out_.end(), raw_.begin(), raw_.begin() + static_cast<std::ptrdiff_t>(rawLength_));
        rawLength_ = 0;
    }
    out_.push_back(0);
}

}  // namespace rastel::imaging
