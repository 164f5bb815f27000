#include "imaging/codecs/common/byte_io.h"

#include <cstring>

#include "imaging/error.h"

namespace rastel::imaging {

void ByteReader::require(std::uint64_t count, const char* what) const {
    if (count > remaining())
        fail(format_, std::string("truncated file: ") + what + " needs " + std::to_string(count) + " bytes at offset " +
                          std::to_string(pos_) + ", " + std::to_string(remaining()) + " left");
}

void ByteReader::seek(std::uint64_t offset) {
    if (offset > data_.size())
        fail(format_, "offset " + std::to_string(offset) + " lies past the end of the file (" +
                          std::to_string(data_.size()) + " bytes)");
    pos_ = static_cast<std::size_t>(offset);
}

void ByteReader::skip(std::uint64_t count) {
    require(count);
    pos_ += static_cast<std::size_t>(count);
}

std::uint8_t ByteReader::u8() {
    require(1);
    return data_[pos_++];
}

std::uint16_t ByteReader::u16le() {
    require(2);
    const auto v = static_cast<std::uint16_t>(data_[pos_] | (data_[pos_ + 1] << 8));
    pos_ += 2;
    return v;
}

std::uint16_t ByteReader::u16be() {
    require(2);
    const auto v = static_cast<std::uint16_t>((data_[pos_] << 8) | data_[pos_ + 1]);
    pos_ += 2;
    return v;
}

std::uint32_t ByteReader::u32le() {
    require(4);
    const std::uint32_t v = std::uint32_t{data_[pos_]} | (std::uint32_t{data_[pos_ + 1]} << 8) |
                            (std::uint32_t{data_[pos_ + 2]} << 16) | (std::uint32_t{data_[pos_ + 3]} << 24);
    pos_ += 4;
    return v;
}

std::uint32_t ByteReader::u32be() {
    require(4);
    const std::uint32_t v = (std::uint32_t{data_[pos_]} << 24) | (std::uint32_t{data_[pos_ + 1]} << 16) |
                            (std::uint32_t{data_[pos_ + 2]} << 8) | std::uint32_t{data_[pos_ + 3]};
    pos_ += 4;
    return v;
}

std::span<const std::uint8_t> ByteReader::bytes(std::uint64_t count, const char* what) {
    require(count, what);
    auto s = data_.subspan(pos_, static_cast<std::size_t>(count));
    pos_ += static_cast<std::size_t>(count);
    return s;
}

void ByteWriter::u16le(std::uint16_t v) {
    buf_.push_back(static_cast<std::uint8_t>(v));
    buf_.push_back(static_cast<std::uint8_t>(v >> 8));
}
void ByteWriter::u16be(std::uint16_t v) {
    buf_.push_back(static_cast<std::uint8_t>(v >> 8));
    buf_.push_back(static_cast<std::uint8_t>(v));
}
void ByteWriter::u32le(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) buf_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void ByteWriter::u32be(std::uint32_t v) {
    for (int i = 3; i >= 0; --i) buf_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void ByteWriter::bytes(const void* p, std::size_t n) {
    const auto* b = static_cast<const std::uint8_t*>(p);
    buf_.insert(buf_.end(), b, b + n);
}
void ByteWriter::patchU16le(std::size_t at, std::uint16_t v) {
    buf_.at(at) = static_cast<std::uint8_t>(v);
    buf_.at(at + 1) = static_cast<std::uint8_t>(v >> 8);
}
void ByteWriter::patchU32le(std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) buf_.at(at + static_cast<std::size_t>(i)) = static_cast<std::uint8_t>(v >> (8 * i));
}
void ByteWriter::patchU16be(std::size_t at, std::uint16_t v) {
    buf_.at(at) = static_cast<std::uint8_t>(v >> 8);
    buf_.at(at + 1) = static_cast<std::uint8_t>(v);
}
void ByteWriter::patchU32be(std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        buf_.at(at + static_cast<std::size_t>(i)) = static_cast<std::uint8_t>(v >> (8 * (3 - i)));
}

}  // namespace rastel::imaging
