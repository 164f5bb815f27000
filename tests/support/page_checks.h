#pragma once

// Checks of page-by-page decoding, and damaging one page of a TIFF file
// while its directory chain stays intact.

#include <gtest/gtest.h>
#include <tiffio.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "imaging/codec.h"
#include "tests/support/pictures.h"
#include "tests/support/test_support.h"

namespace rastel::test {

// The pages the reader's open() gives for `bytes`, asked for last first and
// then the first again, are those read() gives.
inline void expectPagesAsRead(const std::string& reader, const std::vector<std::uint8_t>& bytes) {
    const imaging::Document doc = readerNamed(reader).read(bytes, imaging::ReadContext{"test"});
    const auto pages = readerNamed(reader).open(bytes, imaging::ReadContext{"test"});
    ASSERT_FALSE(doc.pages.empty());
    ASSERT_EQ(pages->pageCount(), static_cast<int>(doc.pages.size()));
    std::vector<int> order;
    for (int i = pages->pageCount() - 1; i >= 0; --i) order.push_back(i);
    order.push_back(order.back());
    for (const int i : order) {
        const imaging::Image page = pages->page(i);
        const imaging::Image& want = doc.pages[static_cast<std::size_t>(i)];
        EXPECT_TRUE(identical(page, want) && page.xDpi == want.xDpi && page.yDpi == want.yDpi) << "page " << i;
    }
}

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
