#pragma once

// CCITT bi-level coding shared by the raw fax, CALS and IOCA codecs (and any
// other container that carries bare fax data). The coding itself is libtiff's:
// the data is wrapped in a one-strip TIFF held in memory and run through its
// Group 3/4 codec, so every format codes the same way.
//
// Pixel convention: a decoded page is Indexed, 1 bit, palette {white, black}:
// index 0 is white and index 1 is black, the same sense as a set bit in the
// coded data. On encoding, any page is first reduced with toIndexed(page, 1)
// and a pixel is coded black when its palette colour has luma < 128.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "imaging/image.h"

namespace rastel::imaging {

enum class CcittCoding {
    G3OneD,  // T.4 one-dimensional (Modified Huffman), every line after an EOL
    G3TwoD,  // T.4 two-dimensional (Modified READ), EOL + tag bit before every line
    G4,      // T.6 (Modified Modified READ), no EOLs, ends with EOFB
};

const char* ccittCodingName(CcittCoding coding);

// Codes `page` (any layout) as one block of fax data, bits most significant
// first. G3 output: every line is preceded by an EOL that is zero-filled so that
// it ends on a byte boundary, the two-dimensional form uses K = 2 up to 150 dpi
// of vertical resolution and K = 4 above (0 dpi counts as 196), and the block
// ends with RTC (six EOLs). G4 output ends with EOFB.
std::vector<std::uint8_t> ccittEncode(const Image& page, CcittCoding coding);

// Decodes exactly `height` lines of `width` pixels. Throws Error("<format>: ...")
// when the data is damaged (bad code words, lines of the wrong length, data
// ending early).
Image ccittDecode(std::span<const std::uint8_t> data, int width, int height, CcittCoding coding,
                  const std::string& format);

// Decodes fax data whose height is not known: lines are decoded until the data
// ends (G3: up to RTC or the last EOL-introduced line; G4: up to EOFB or the end
// of the data). `width` 0 means "find it": for G3 the length of the first line,
// for G4 the first of ccittStandardWidths() that decodes cleanly to the end.
Image ccittDecodeUnbounded(std::span<const std::uint8_t> data, CcittCoding coding, int width,
                           const std::string& format);

// Guesses the coding of bare fax data: G3 when an EOL appears near the start
// and the data decodes as G3 lines (two-dimensional when the line tags decode
// more cleanly that way), else G4 (whose EOFB ends a short page early).
CcittCoding ccittGuessCoding(std::span<const std::uint8_t> data);

// Whether an EOL (eleven or more 0 bits followed by a 1) starts within the
// first `withinBytes` bytes.
bool ccittHasEolNear(std::span<const std::uint8_t> data, std::size_t withinBytes);

// Line widths tried, in order, when G4 data comes without its width: the fax
// widths of T.4 (A4, B4, A3 at 8 dots/mm, then their 200/300/400 dpi relatives)
// and the common page widths at 100-600 dpi.
const std::vector<int>& ccittStandardWidths();

// Packs an Indexed 1-bit page (index 1 = black as decoded here) or any other
// page (reduced as for encoding) into MSB-first rows with 1 = black.
std::vector<std::uint8_t> ccittPackBlackRows(const Image& page, std::size_t& rowBytes);

}  // namespace rastel::imaging
