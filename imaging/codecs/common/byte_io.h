#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace rastel::imaging {

// Loads and stores of values at `p` in either byte order. The caller has
// checked that the bytes are there.
inline std::uint16_t loadU16le(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
inline std::uint16_t loadU16be(const std::uint8_t* p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }
inline std::uint32_t loadU32le(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
}
inline std::uint32_t loadU32be(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]};
}
inline void storeU16le(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void storeU16be(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}
inline void storeU32le(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void storeU32be(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * (3 - i)));
}

// Grows `out` by `count` zero bytes and returns where they start.
inline std::uint8_t* appendBytes(std::vector<std::uint8_t>& out, std::size_t count) {
    out.resize(out.size() + count);
    return out.data() + out.size() - count;
}

// Appends a value to a byte vector in either byte order.
inline void appendU16le(std::vector<std::uint8_t>& out, std::uint16_t v) { storeU16le(appendBytes(out, 2), v); }
inline void appendU16be(std::vector<std::uint8_t>& out, std::uint16_t v) { storeU16be(appendBytes(out, 2), v); }
inline void appendU32le(std::vector<std::uint8_t>& out, std::uint32_t v) { storeU32le(appendBytes(out, 4), v); }
inline void appendU32be(std::vector<std::uint8_t>& out, std::uint32_t v) { storeU32be(appendBytes(out, 4), v); }

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
    std::uint16_t u16le() { return take(loadU16le); }
    std::uint16_t u16be() { return take(loadU16be); }
    std::uint32_t u32le() { return take(loadU32le); }
    std::uint32_t u32be() { return take(loadU32be); }
    std::int16_t s16le() { return static_cast<std::int16_t>(u16le()); }
    std::int16_t s16be() { return static_cast<std::int16_t>(u16be()); }
    std::int32_t s32le() { return static_cast<std::int32_t>(u32le()); }
    std::int32_t s32be() { return static_cast<std::int32_t>(u32be()); }
    // A view of the next `count` bytes; advances past them.
    std::span<const std::uint8_t> bytes(std::uint64_t count, const char* what = "data");

private:
    // The value `load` reads at the current position; advances past it.
    template <typename T>
    T take(T (*load)(const std::uint8_t*)) {
        require(sizeof(T));
        const T v = load(data_.data() + pos_);
        pos_ += sizeof(T);
        return v;
    }

    std::span<const std::uint8_t> data_;
    std::size_t pos_ = 0;
    std::string format_;
};

// What `parse`, a header parser taking a ByteReader&, reads from the start of
// `data`: for callers that want the header checked or its fields, and not the
// reader left after it.
template <class Parse>
auto headerOf(std::span<const std::uint8_t> data, const std::string& format, Parse parse) {
    ByteReader in(data, format);
    return parse(in);
}

// Little helpers for building files in memory.
class ByteWriter {
public:
    std::vector<std::uint8_t>& buffer() { return buf_; }
    std::vector<std::uint8_t> take() { return std::move(buf_); }
    std::size_t size() const { return buf_.size(); }

    void u8(std::uint8_t v) { buf_.push_back(v); }
    void u16le(std::uint16_t v) { appendU16le(buf_, v); }
    void u16be(std::uint16_t v) { appendU16be(buf_, v); }
    void u32le(std::uint32_t v) { appendU32le(buf_, v); }
    void u32be(std::uint32_t v) { appendU32be(buf_, v); }
    void bytes(std::span<const std::uint8_t> v) { buf_.insert(buf_.end(), v.begin(), v.end()); }
    void bytes(const void* p, std::size_t n);
    void zeros(std::size_t n) { buf_.insert(buf_.end(), n, 0); }
    // Overwrites already written bytes (for sizes known only at the end).
    void patchU16le(std::size_t at, std::uint16_t v);
    void patchU32le(std::size_t at, std::uint32_t v);
    void patchU16be(std::size_t at, std::uint16_t v);
    void patchU32be(std::size_t at, std::uint32_t v);

private:
    // The `count` written bytes at `at`.
    std::uint8_t* patchable(std::size_t at, std::size_t count);

    std::vector<std::uint8_t> buf_;
};

}  // namespace rastel::imaging
