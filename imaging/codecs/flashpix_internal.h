#pragma once

// Pieces of the FlashPix codec shared between its files.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace rastel::imaging::flashpix {

inline const char* const kFormat = "FlashPix";

// Every subimage is cut into square tiles of this many pixels a side; edge
// tiles are stored whole, their unused part padded.
constexpr int kTile = 64;

// Encodes one kTile x kTile tile of `channels` (1 or 3) interleaved samples
// as a complete JPEG stream with its own tables. `quality` is libjpeg's 1..100;
// three-channel tiles are converted to YCbCr, with chroma halved both ways
// when `subsample` is set. Throws Error when libjpeg fails.
std::vector<std::uint8_t> encodeJpegTile(const std::uint8_t* pixels, int channels, int quality, bool subsample);

// Decodes one JPEG tile into `out` (kTile * kTile * channels bytes). The
// stream must describe a kTile x kTile picture of `channels` components; when
// `ycc` is set three-component data is converted from YCbCr to RGB, otherwise
// it is taken as stored. Throws Error on any damage.
void decodeJpegTile(std::span<const std::uint8_t> stream, int channels, bool ycc, std::uint8_t* out);

}  // namespace rastel::imaging::flashpix
