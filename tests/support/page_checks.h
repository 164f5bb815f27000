#pragma once

// Damaging one page of a TIFF file while its directory chain stays intact.

#include <gtest/gtest.h>
#include <tiffio.h>

#include <cstdint>
#include <fstream>
#include <string>

namespace rastel::test {

// Overwrites the first bytes of the first strip of page `page` (0-based) of
// the TIFF at `path` with 0xFF, so that decoding that page fails (a Deflate or
// LZW stream cannot start so) while every directory and other page reads.
inline void damageTiffPage(const std::string& path, int page) {
    std::uint64_t offset = 0;
    if (TIFF* tif = TIFFOpen(path.c_str(), "r")) {
        std::uint64_t* offsets = nullptr;
        if (TIFFSetDirectory(tif, static_cast<tdir_t>(page)) && TIFFGetField(tif, TIFFTAG_STRIPOFFSETS, &offsets) &&
            offsets != nullptr)
            offset = offsets[0];
        TIFFClose(tif);
    }
    ASSERT_NE(offset, 0u) << "no strip found for page " << page << " of " << path;
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(offset));
    const std::string garbage(16, '\xFF');
    f.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
    ASSERT_TRUE(f.good()) << path;
}

}  // namespace rastel::test
