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

std::span<const std::uint8_t> ByteReader::bytes(std::uint64_t count, const char* what) {
    require(count, what);
    auto s = data_.subspan(pos_, static_cast<std::size_t>(count));
    pos_ += static_cast<std::size_t>(count);
    return s;
}

void ByteWriter::bytes(const void* p, std::size_t n) {
    const auto* b = static_cast<const std::uint8_t*>(p);
    buf_.insert(buf_.end(), b, b + n);
}
std::uint8_t* ByteWriter::patchable(std::size_t at, std::size_t count) {
    (void)buf_.at(at + count - 1);  // throws std::out_of_range past what is written
    return buf_.data() + at;
}
void ByteWriter::patchU16le(std::size_t at, std::uint16_t v) { storeU16le(patchable(at, 2), v); }
void ByteWriter::patchU32le(std::size_t at, std::uint32_t v) { storeU32le(patchable(at, 4), v); }
void ByteWriter::patchU16be(std::size_t at, std::uint16_t v) { storeU16be(patchable(at, 2), v); }
void ByteWriter::patchU32be(std::size_t at, std::uint32_t v) { storeU32be(patchable(at, 4), v); }

}  // namespace rastel::imaging
