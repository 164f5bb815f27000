#pragma once

#include <cstddef>
#include <cstdint>

namespace rastel::imaging {

// Packs `count` one-byte values of `bits` (1 to 8) bits each into `out`,
// most significant bits first (the order BMP, TIFF, PCX and most formats use).
// `out` must hold (count * bits + 7) / 8 bytes; unused low bits of the last byte are 0.
void packBits(const std::uint8_t* values, std::size_t count, int bits, std::uint8_t* out);
// The reverse: reads `count` values of `bits` bits, most significant first.
// `in` must hold (count * bits + 7) / 8 bytes.
void unpackBits(const std::uint8_t* in, std::size_t count, int bits, std::uint8_t* values);
// Bytes a packed row of `count` values at `bits` bits needs.
inline std::size_t packedBytes(std::size_t count, int bits) { return (count * static_cast<std::size_t>(bits) + 7) / 8; }

}  // namespace rastel::imaging
