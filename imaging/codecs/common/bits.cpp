#include "imaging/codecs/common/bits.h"

#include <cstring>

namespace rastel::imaging {

void packBits(const std::uint8_t* values, std::size_t count, int bits, std::uint8_t* out) {
    if (bits == 8) {
        std::memcpy(out, values, count);
        return;
    }
    const unsigned mask = (1u << bits) - 1;
    unsigned acc = 0;
    int filled = 0;
    std::size_t o = 0;
    for (std::size_t i = 0; i < count; ++i) {
        acc = (acc << bits) | (values[i] & mask);
        filled += bits;
        if (filled >= 8) {
            filled -= 8;
            out[o++] = static_cast<std::uint8_t>(acc >> filled);
            acc &= (1u << filled) - 1;
        }
    }
    if (filled > 0) out[o] = static_cast<std::uint8_t>(acc << (8 - filled));
}

void unpackBits(const std::uint8_t* in, std::size_t count, int bits, std::uint8_t* values) {
    if (bits == 8) {
        std::memcpy(values, in, count);
        return;
    }
    const unsigned mask = (1u << bits) - 1;
    unsigned acc = 0;
    int have = 0;
    std::size_t i = 0;
    for (std::size_t v = 0; v < count; ++v) {
        if (have < bits) {
            acc = (acc << 8) | in[i++];
            have += 8;
        }
        have -= bits;
        values[v] = static_cast<std::uint8_t>((acc >> have) & mask);
        acc &= (1u << have) - 1;
    }
}

}  // namespace rastel::imaging
