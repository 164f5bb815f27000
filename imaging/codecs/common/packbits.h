#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace rastel::imaging {

// PackBits run-length coding as Apple defined it (MacPaint, PICT, TIFF
// compression 32773, Photoshop RLE). A control byte n is followed by
//   0..127    n + 1 literal bytes
//   -127..-1  one byte repeated 1 - n times
//   -128      nothing (a no-op some writers emit)

// Decodes runs from `in` until exactly `outSize` bytes have been produced in
// `out`. Returns how many input bytes were consumed. Throws
// Error("<format>: ...") when the input ends early or a run would write past
// `outSize` bytes; `out` is never written beyond `outSize`.
std::size_t packBitsDecode(std::span<const std::uint8_t> in, std::uint8_t* out, std::size_t outSize,
                           const std::string& format);

// Same, but a run that overruns `outSize` is cut at it (some writers of
// Photoshop files let the last run of a row spill over by a few bytes); the
// input consumed still counts the whole run.
std::size_t packBitsDecodeClipped(std::span<const std::uint8_t> in, std::uint8_t* out, std::size_t outSize,
                                  const std::string& format);

// Same, with samples of `unit` bytes (PICT 16-bit pixel maps run by words):
// a count byte n means n + 1 literal units or one unit repeated 1 - n times.
std::size_t packBitsDecodeUnits(std::span<const std::uint8_t> in, std::uint8_t* out, std::size_t outSize,
                                std::size_t unit, const std::string& format);

// Appends the PackBits runs of `in` to `out`: runs of three or more equal bytes
// become repeat runs, everything else literal runs of at most 128 bytes.
void packBitsEncode(std::span<const std::uint8_t> in, std::vector<std::uint8_t>& out);

// Largest encoded size of `n` input bytes.
inline std::size_t packBitsBound(std::size_t n) { return n + (n + 127) / 128; }

}  // namespace rastel::imaging
