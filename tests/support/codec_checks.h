#pragma once

// Checks the codec tests share: decoding by reader name, round trips through
// the engine, and hostile input (cut and damaged copies of valid files).

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "imaging/convert.h"
#include "imaging/engine.h"
#include "imaging/error.h"
#include "imaging/registry.h"
#include "tests/support/interop.h"
#include "tests/support/test_support.h"

namespace rastel::test {

inline const imaging::FormatWriter& writerFor(int code) {
    const imaging::FormatWriter* w = imaging::Registry::instance().findWriter(code);
    if (!w) throw std::runtime_error("no writer for code " + std::to_string(code));
    return *w;
}

inline imaging::Document decode(const std::string& reader, const Bytes& bytes) {
    return readerNamed(reader).read(bytes, imaging::ReadContext{"test"});
}

// The first page `reader` decodes from `bytes`; throws when there is none.
inline imaging::Image decodePage(const std::string& reader, const Bytes& bytes) {
    return decode(reader, bytes).pages.at(0);
}

// What `reader` decodes from the file `command` makes of `src` (see
// convertWithTool): its first page, once the reader is seen to detect the
// file with the strength `sniff`. An empty image when the tool failed.
inline imaging::Image decodeToolOutput(const std::string& reader, const std::string& command, const imaging::Image& src,
                                       const std::string& ext, imaging::Sniff sniff) {
    const Bytes bytes = convertWithTool(command, src, ext);
    if (bytes.empty()) return {};
    EXPECT_EQ(readerNamed(reader).sniff(bytes), sniff) << command;
    return decodePage(reader, bytes);
}

// A hand-made file and the colours its page shows, row by row from the top.
struct HandMadeCase {
    const char* name;
    Bytes file;
    std::vector<imaging::Rgb> expected;
};

// Expects `page` to show `expected`, row by row from the top; `what` names
// the case in messages.
inline void expectColours(const imaging::Image& page, const std::vector<imaging::Rgb>& expected,
                          const std::string& what) {
    ASSERT_EQ(static_cast<std::size_t>(page.width()) * static_cast<std::size_t>(page.height()), expected.size())
        << what;
    for (int y = 0; y < page.height(); ++y)
        for (int x = 0; x < page.width(); ++x)
            EXPECT_EQ(imaging::pixelRgb(page, x, y), expected[static_cast<std::size_t>(y * page.width() + x)])
                << what << " at " << x << "," << y;
}

// Feeds prefixes of `file` shorter than `end` (about a hundred lengths) to the
// reader: each must throw Error, never crash. Returns the first length that
// was accepted, or -1 when every cut was refused.
inline long acceptedCut(const std::string& reader, const Bytes& file, std::size_t end) {
    const std::size_t step = std::max<std::size_t>(1, end / 97);
    for (std::size_t n = 0; n < end; n += step) {
        try {
            (void)decode(reader, Bytes(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(n)));
            return static_cast<long>(n);
        } catch (const imaging::Error&) {
        }
    }
    return -1;
}

struct DamageOutcome {
    int decoded = 0;  // variants that gave at least one page
    int refused = 0;  // variants that threw Error
};

// Flips, zeroes and maximises bytes of a valid file (more often in the header,
// where the lengths live): every variant must decode or throw Error, both when
// counting pages and when decoding. Any other exception escapes to the test.
inline DamageOutcome damagedCopies(const std::string& reader, const Bytes& file, int variants = 400) {
    std::mt19937 rng(12345);
    DamageOutcome outcome;
    for (int i = 0; i < variants; ++i) {
        Bytes bad = file;
        const int edits = 1 + static_cast<int>(rng() % 4);
        for (int e = 0; e < edits; ++e) {
            const std::size_t limit = (rng() % 2) ? std::min<std::size_t>(bad.size(), 64) : bad.size();
            const std::size_t at = rng() % limit;
            switch (rng() % 4) {
            case 0: bad[at] = static_cast<std::uint8_t>(bad[at] ^ (1u << (rng() % 8))); break;
            case 1: bad[at] = 0; break;
            case 2: bad[at] = 0xFF; break;
            default: bad[at] = static_cast<std::uint8_t>(bad[at] + 1 + rng() % 3); break;
            }
        }
        try {
            (void)readerNamed(reader).pageCount(bad, imaging::ReadContext{"corrupt"});
        } catch (const imaging::Error&) {
        }
        try {
            const imaging::Document d = decode(reader, bad);
            outcome.decoded += !d.pages.empty();
        } catch (const imaging::Error&) {
            ++outcome.refused;
        }
    }
    return outcome;
}

// Damaged copies of a valid file neither crash the reader nor all share one
// fate: some damage (in pixel data) still decodes, some (in the header) is
// refused. A reader that refuses everything, or checks nothing, fails here.
inline void expectSurvivesDamage(const std::string& reader, const Bytes& file, const std::string& what) {
    const DamageOutcome o = damagedCopies(reader, file);
    EXPECT_GT(o.decoded, 0) << what << ": every damaged copy was refused";
    EXPECT_GT(o.refused, 0) << what << ": no damaged copy was refused";
}

// Saves `src` through the engine with every depth the writer offers for
// `code` and loads it back by file name: the reader must be found from the
// bytes and the extension, and give back the picture reduced to that depth.
inline void expectEngineRoundTrips(int code, const std::string& ext, const imaging::Image& src) {
    TempDir dir;
    for (int bits : writerFor(code).depths(code)) {
        const std::string path = dir.file("page" + std::to_string(bits) + ext);
        imaging::savePage(path, src, code, bits, 2);
        const imaging::Document doc = imaging::loadDocument(path);
        ASSERT_EQ(doc.pages.size(), 1u) << path;
        EXPECT_EQ(pixelDifferences(doc.pages[0], imaging::toBitsPerPixel(src, bits), bits == 32), 0) << path;
        EXPECT_EQ(imaging::probePageCount(path), 1) << path;
    }
}

}  // namespace rastel::test
