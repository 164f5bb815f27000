#include "imaging/codecs/common/packbits.h"

#include <gtest/gtest.h>

#include <random>

#include "imaging/error.h"

using namespace rastel::imaging;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes encode(const Bytes& in) {
    Bytes out;
    packBitsEncode(in, out);
    return out;
}

Bytes repeat(std::size_t n, std::uint8_t v) { return Bytes(n, v); }

}  // namespace

// Known encodings: the example of Apple's technical note and the run limits.
TEST(PackBits, EncodesLikeApple) {
    struct Case {
        const char* name;
        Bytes in;
        Bytes out;
    };
    const Case cases[] = {
        {"empty", {}, {}},
        {"single byte", {0x42}, {0x00, 0x42}},
        {"pair stays literal", {7, 7}, {0x01, 7, 7}},
        {"run of three", {9, 9, 9}, {0xFE, 9}},
        {"literal then run", {1, 2, 5, 5, 5, 5}, {0x01, 1, 2, 0xFD, 5}},
        {"run of 128", repeat(128, 0xAA), {0x81, 0xAA}},
        {"run of 129 splits", repeat(129, 0xAA), {0x81, 0xAA, 0x00, 0xAA}},
        {"run of 130 splits", repeat(130, 0xAA), {0x81, 0xAA, 0x01, 0xAA, 0xAA}},
        {"technical note example",
         {0xAA, 0xAA, 0xAA, 0x80, 0x00, 0x2A, 0xAA, 0xAA, 0xAA, 0xAA, 0x80, 0x00,
          0x2A, 0x22, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA},
         {0xFE, 0xAA, 0x02, 0x80, 0x00, 0x2A, 0xFD, 0xAA, 0x03, 0x80, 0x00, 0x2A, 0x22, 0xF7, 0xAA}},
    };
    for (const auto& c : cases) EXPECT_EQ(encode(c.in), c.out) << c.name;
}

TEST(PackBits, LiteralRunsStopAt128Bytes) {
    Bytes in(300);
    for (std::size_t i = 0; i < in.size(); ++i) in[i] = static_cast<std::uint8_t>(i * 37 + (i >> 3));
    // No three equal bytes in a row: all literal, 128 + 128 + 44.
    const Bytes out = encode(in);
    ASSERT_EQ(out.size(), 300u + 3u);
    EXPECT_EQ(out[0], 127);
    EXPECT_EQ(out[129], 127);
    EXPECT_EQ(out[258], 43);
    EXPECT_LE(out.size(), packBitsBound(in.size()));
}

TEST(PackBits, RoundTripsRandomRows) {
    std::mt19937 rng(7);
    for (int trial = 0; trial < 200; ++trial) {
        const std::size_t n = rng() % 700;
        Bytes in(n);
        // Mix of runs and noise.
        for (std::size_t i = 0; i < n;) {
            const std::size_t len = 1 + rng() % (rng() % 2 ? 200 : 4);
            const auto v = static_cast<std::uint8_t>(rng() % 4);
            const bool run = rng() % 2;
            for (std::size_t k = 0; k < len && i < n; ++k, ++i) in[i] = run ? v : static_cast<std::uint8_t>(rng());
        }
        const Bytes packed = encode(in);
        EXPECT_LE(packed.size(), packBitsBound(n));
        Bytes back(n + 1, 0x5A);
        EXPECT_EQ(packBitsDecode(packed, back.data(), n, "T"), packed.size());
        EXPECT_EQ(back.back(), 0x5A) << "wrote past the output";
        back.pop_back();
        ASSERT_EQ(back, in) << "trial " << trial;
    }
}

TEST(PackBits, DecodesWhatOtherWritersEmit) {
    struct Case {
        const char* name;
        Bytes in;
        Bytes out;
        std::size_t consumed;
    };
    const Case cases[] = {
        {"no-op control byte is skipped", {0x80, 0x00, 0x11}, {0x11}, 3},
        {"repeat run of two", {0xFF, 0x33}, {0x33, 0x33}, 2},
        {"trailing data is left alone", {0x01, 1, 2, 0x00, 9}, {1, 2}, 3},
        {"run crossing nothing", {0x81, 0x00}, repeat(128, 0), 2},
    };
    for (const auto& c : cases) {
        Bytes out(c.out.size());
        EXPECT_EQ(packBitsDecode(c.in, out.data(), out.size(), "T"), c.consumed) << c.name;
        EXPECT_EQ(out, c.out) << c.name;
    }
}

TEST(PackBits, RefusesOverrunsAndShortData) {
    struct Case {
        const char* name;
        Bytes in;
        std::size_t outSize;
        Bytes clipped;  // what the clipping decoder makes of it; empty when it refuses as well
    };
    const Case cases[] = {
        {"empty input", {}, 1, {}},
        {"literal past the row", {0x03, 1, 2, 3, 4}, 3, {1, 2, 3}},
        {"repeat past the row", {0xFC, 7}, 4, {7, 7, 7, 7}},
        {"literal past the data", {0x05, 1, 2}, 6, {}},
        {"repeat without its byte", {0xFE}, 3, {}},
        {"data ends early", {0x00, 1}, 2, {}},
        {"only no-ops", {0x80, 0x80}, 1, {}},
    };
    for (const auto& c : cases) {
        Bytes out(c.outSize + 8, 0xEE);
        EXPECT_THROW(packBitsDecode(c.in, out.data(), c.outSize, "T"), Error) << c.name;
        for (std::size_t i = c.outSize; i < out.size(); ++i)
            ASSERT_EQ(out[i], 0xEE) << c.name << ": wrote past the row";
        Bytes clipped(c.outSize + 8, 0xEE);
        if (c.clipped.empty()) {
            EXPECT_THROW(packBitsDecodeClipped(c.in, clipped.data(), c.outSize, "T"), Error) << c.name;
        } else {
            EXPECT_EQ(packBitsDecodeClipped(c.in, clipped.data(), c.outSize, "T"), c.in.size()) << c.name;
            EXPECT_EQ(Bytes(clipped.begin(), clipped.begin() + static_cast<std::ptrdiff_t>(c.outSize)), c.clipped)
                << c.name;
        }
        for (std::size_t i = c.outSize; i < clipped.size(); ++i)
            ASSERT_EQ(clipped[i], 0xEE) << c.name << ": clipped wrote past the row";
    }
    try {
        std::uint8_t out[2];
        packBitsDecode(Bytes{0x05, 1}, out, 2, "MacPaint");
        FAIL();
    } catch (const Error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("MacPaint: ", 0), 0u) << e.what();
    }
}

TEST(PackBits, DecodesWordRuns) {
    // 16-bit pixels: a literal of two words, then one word repeated three times.
    const Bytes in = {0x01, 0x12, 0x34, 0x56, 0x78, 0xFE, 0xAB, 0xCD};
    Bytes out(10);
    EXPECT_EQ(packBitsDecodeUnits(in, out.data(), out.size(), 2, "T"), in.size());
    EXPECT_EQ(out, (Bytes{0x12, 0x34, 0x56, 0x78, 0xAB, 0xCD, 0xAB, 0xCD, 0xAB, 0xCD}));
    Bytes small(6);
    EXPECT_THROW(packBitsDecodeUnits(in, small.data(), small.size(), 2, "T"), Error) << "repeat past the row";
    EXPECT_THROW(packBitsDecodeUnits(Bytes{0x00, 0x12}, small.data(), 2, 2, "T"), Error);
    EXPECT_THROW(packBitsDecodeUnits(in, out.data(), 9, 2, "T"), Error) << "odd size with word units";
}
