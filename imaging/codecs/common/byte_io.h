#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace rastel::imaging {

// Bounds-checked reader over an in-memory file. Every read past the end throws
// Error("<format>: truncated ...") instead of touching memory it does not own.
class ByteReader {
public:
    ByteReader(std::span<const std::uint8_t> data, std::string format) : data_(data), format_(std::move(format)) {}

    std::size_t size() const { return data_.size(); }
    std::size_t pos() const { return pos_; }
    std::size_t remaining() const { return data_.size() - pos_; }
    const std::string& format() const { return format_; }
    std::span<const std::uint8_t> data() const { return data_; }

    void seek(std::uint64_t offset);
    void skip(std::uint64_t count);
    // Throws unless `count` more bytes are available from the current position.
    void require(std::uint64_t count, const char* what = "data") const;

    std::uint8_t u8();
    std::uint16_t u16le();
    std::uint16_t u16be();
    std::uint32_t u32le();
    std::uint32_t u32be();
    std::int16_t s16le() { return static_cast<std::int16_t>(u16le()); }
    std::int16_t s16be() { return static_cast<std::int16_t>(u16be()); }
    std::int32_t s32le() { return static_cast<std::int32_t>(u32le()); }
    std::int32_t s32be() { return static_cast<std::int32_t>(u32be()); }
    // A view of the next `count` bytes; advances past them.
    std::span<const std::uint8_t> bytes(std::uint64_t count, const char* what = "data");

private:
    std::span<const std::uint8_t> data_;
    std::size_t pos_ = 0;
    std::string format_;
};

// Little helpers for building files in memory.
class ByteWriter {
public:
    std::vector<std::uint8_t>& buffer() { return buf_; }
    std::vector<std::uint8_t> take() { return std::move(buf_); }
    std::size_t size() const { return buf_.size(); }

    void u8(std::uint8_t v) { buf_.push_back(v); }
    void u16le(std::uint16_t v);
    void u16be(std::uint16_t v);
    void u32le(std::uint32_t v);
    void u32be(std::uint32_t v);
    void bytes(std::span<const std::uint8_t> v) { buf_.insert(buf_.end(), v.begin(), v.end()); }
    void bytes(const void* p, std::size_t n);
    void zeros(std::size_t n) { buf_.insert(buf_.end(), n, 0); }
    // Overwrites already written bytes (for sizes known only at the end).
    void patchU16le(std::size_t at, std::uint16_t v);
    void patchU32le(std::size_t at, std::uint32_t v);
    void patchU16be(std::size_t at, std::uint16_t v);
    void patchU32be(std::size_t at, std::uint32_t v);

private:
    std::vector<std::uint8_t> buf_;
};

}  // namespace rastel::imaging
