#include "imaging/codecs/common/packbits.h"

#include <algorithm>
#include <cstring>

#include "imaging/error.h"

namespace rastel::imaging {

namespace {

std::size_t decodeRuns(std::span<const std::uint8_t> in, std::uint8_t* out, std::size_t outSize, std::size_t unit,
                       const std::string& format, bool clip) {
    if (unit == 0 || outSize % unit != 0) fail(format, "PackBits row size is not a whole number of samples");
    std::size_t ip = 0;
    std::size_t op = 0;
    while (op < outSize) {
        if (ip >= in.size())
            fail(format,
                 "PackBits data ends after " + std::to_string(op) + " of " + std::to_string(outSize) + " bytes");
        const auto n = static_cast<std::int8_t>(in[ip++]);
        if (n == -128) continue;
        if (n >= 0) {
            const std::size_t len = (static_cast<std::size_t>(n) + 1) * unit;
            if (len > outSize - op && !clip) fail(format, "PackBits literal run overruns the row");
            if (len > in.size() - ip) fail(format, "PackBits literal run ends past the data");
            std::memcpy(out + op, in.data() + ip, std::min(len, outSize - op));
            ip += len;
            op += std::min(len, outSize - op);
        } else {
            std::size_t count = static_cast<std::size_t>(1 - n);
            if (count * unit > outSize - op) {
                if (!clip) fail(format, "PackBits repeat run overruns the row");
                count = (outSize - op) / unit;
            }
            if (unit > in.size() - ip) fail(format, "PackBits repeat run ends past the data");
            for (std::size_t i = 0; i < count; ++i) std::memcpy(out + op + i * unit, in.data() + ip, unit);
            ip += unit;
            op += count * unit;
        }
    }
    return ip;
}

}  // namespace

std::size_t packBitsDecodeUnits(std::span<const std::uint8_t> in, std::uint8_t* out, std::size_t outSize,
                                std::size_t unit, const std::string& format) {
    return decodeRuns(in, out, outSize, unit, format, false);
}

std::size_t packBitsDecode(std::span<const std::uint8_t> in, std::uint8_t* out, std::size_t outSize,
                           const std::string& format) {
    return decodeRuns(in, out, outSize, 1, format, false);
}

std::size_t packBitsDecodeClipped(std::span<const std::uint8_t> in, std::uint8_t* out, std::size_t outSize,
                                  const std::string& format) {
    return decodeRuns(in, out, outSize, 1, format, true);
}

void packBitsEncode(std::span<const std::uint8_t> in, std::vector<std::uint8_t>& out) {
    const std::size_t n = in.size();
    std::size_t i = 0;
    std::size_t literalStart = 0;  // first byte of the pending literal run
    auto flushLiteral = [&](std::size_t end) {
        while (literalStart < end) {
            const std::size_t len = std::min<std::size_t>(128, end - literalStart);
            out.push_back(static_cast<std::uint8_t>(len - 1));
            out.insert(out.end(), in.begin() + static_cast<std::ptrdiff_t>(literalStart),
                       in.begin() + static_cast<std::ptrdiff_t>(literalStart + len));
            literalStart += len;
        }
    };
    while (i < n) {
        std::size_t run = 1;
        while (i + run < n && run < 128 && in[i + run] == in[i]) ++run;
        if (run >= 3) {
            flushLiteral(i);
            out.push_back(static_cast<std::uint8_t>(257 - run));  // -(run - 1) as a byte
            out.push_back(in[i]);
            i += run;
            literalStart = i;
        } else {
            i += run;
        }
    }
    flushLiteral(n);
}

}  // namespace rastel::imaging
