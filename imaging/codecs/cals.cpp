// CALS Raster type 1 (.cal, code 50): a 2048-byte ASCII header of sixteen
// 128-byte records ("keyword: value", space padded) followed by one page of
// CCITT G4 data.
//
// Writing: the records srcdocid, dstdocid, txtfilid, figid, srcgph, doccls
// (all "NONE"), "rtype: 1", "rorient: 000,270" (pels left to right, lines top to
// bottom), "rpelcnt: WWWWWW,HHHHHH", "rdensty: DDDD" (the page's horizontal dpi,
// 200 when it has none) and "notes: NONE", then five blank records.
//
// Reading: rtype must be 1; rpelcnt gives pels per line and lines; rdensty the
// dpi of both axes (200 when absent). rorient "PPP,LLL" gives the direction of
// the pel path and of the line progression in degrees counter-clockwise; data
// stored in any of the eight right-angle orientations is turned and mirrored so
// that the page reads as intended (000,270 needs nothing).

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

#include "imaging/codecs/common/ccitt.h"
#include "imaging/error.h"
#include "imaging/registry.h"

namespace rastel::imaging {

namespace {

constexpr const char* kFormat = "CALS";
constexpr std::size_t kHeaderSize = 2048;
constexpr std::size_t kRecordSize = 128;

bool startsWithKey(std::span<const std::uint8_t> head, const char* key) {
    const std::size_t n = std::strlen(key);
    if (head.size() < n) return false;
    for (std::size_t i = 0; i < n; ++i)
        if (std::tolower(head[i]) != key[i]) return false;
    return true;
}

std::string trim(std::string s) {
    while (!s.empty() &&
           (s.back() == ' ' || s.back() == '\0' || s.back() == '\r' || s.back() == '\n' || s.back() == '\t'))
        s.pop_back();
    std::size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    return s.substr(i);
}

// keyword (lower case) -> value of every "keyword: value" record of the header.
std::map<std::string, std::string> parseHeader(std::span<const std::uint8_t> data) {
    if (data.size() < kHeaderSize) fail(kFormat, "file shorter than its 2048-byte header");
    std::map<std::string, std::string> fields;
    for (std::size_t r = 0; r < kHeaderSize / kRecordSize; ++r) {
        std::string rec(reinterpret_cast<const char*>(data.data() + r * kRecordSize), kRecordSize);
        const std::size_t colon = rec.find(':');
        if (colon == std::string::npos || colon == 0) continue;
        std::string key = trim(rec.substr(0, colon));
        for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        fields.emplace(key, trim(rec.substr(colon + 1)));
    }
    return fields;
}

// Parses "A,B" of two non-negative integers.
bool parsePair(const std::string& s, long& a, long& b) {
    char tail = 0;
    return std::sscanf(s.c_str(), "%ld ,%ld%c", &a, &b, &tail) == 2 && a >= 0 && b >= 0;
}

// Unit step of a direction in degrees counter-clockwise (y grows downwards).
bool direction(long degrees, int& dx, int& dy) {
    switch (degrees) {
    case 0: dx = 1, dy = 0; return true;
    case 90: dx = 0, dy = -1; return true;
    case 180: dx = -1, dy = 0; return true;
    case 270: dx = 0, dy = 1; return true;
    default: return false;
    }
}

// Places the stored pels (pel i of line j) where the orientation says they belong.
Image orient(const Image& stored, long pelPath, long lineProgression) {
    int px, py, lx, ly;
    if (!direction(pelPath, px, py) || !direction(lineProgression, lx, ly) || px * lx + py * ly != 0)
        fail(kFormat, "unsupported rorient " + std::to_string(pelPath) + "," + std::to_string(lineProgression));
    if (px == 1 && ly == 1) return stored;
    const int w = stored.width(), h = stored.height();
    const bool swap = px == 0;
    Image out(swap ? h : w, swap ? w : h, PixelFormat::Indexed, 1);
    out.palette() = stored.palette();
    out.xDpi = swap ? stored.yDpi : stored.xDpi;
    out.yDpi = swap ? stored.xDpi : stored.yDpi;
    const long x0 = std::min(0L, static_cast<long>(w - 1) * px) + std::min(0L, static_cast<long>(h - 1) * lx);
    const long y0 = std::min(0L, static_cast<long>(w - 1) * py) + std::min(0L, static_cast<long>(h - 1) * ly);
    for (int j = 0; j < h; ++j) {
        const std::uint8_t* row = stored.row(j);
        for (int i = 0; i < w; ++i) {
            const long x = static_cast<long>(i) * px + static_cast<long>(j) * lx - x0;
            const long y = static_cast<long>(i) * py + static_cast<long>(j) * ly - y0;
            out.row(static_cast<int>(y))[x] = row[i];
        }
    }
    return out;
}

// The records of a type 1 header this reader uses, checked.
struct Header {
    long width = 0, height = 0;
    long pelPath = 0, lineProgression = 270;
    double dpi = 200;
};

Header readHeader(std::span<const std::uint8_t> data) {
    const auto fields = parseHeader(data);
    auto field = [&](const char* key) -> const std::string* {
        const auto it = fields.find(key);
        return it == fields.end() ? nullptr : &it->second;
    };
    if (const std::string* rtype = field("rtype"); rtype && *rtype != "1")
        fail(kFormat, "raster type " + *rtype + " is not supported (only type 1)");
    Header h;
    const std::string* pelcnt = field("rpelcnt");
    if (!pelcnt) fail(kFormat, "header has no rpelcnt record");
    if (!parsePair(*pelcnt, h.width, h.height)) fail(kFormat, "bad rpelcnt \"" + *pelcnt + "\"");
    checkDimensions(kFormat, h.width, h.height);
    if (const std::string* ro = field("rorient"); ro && !parsePair(*ro, h.pelPath, h.lineProgression))
        fail(kFormat, "bad rorient \"" + *ro + "\"");
    if (const std::string* d = field("rdensty")) {
        char* end = nullptr;
        const long v = std::strtol(d->c_str(), &end, 10);
        if (end == d->c_str() || v <= 0 || v > 100000) fail(kFormat, "bad rdensty \"" + *d + "\"");
        h.dpi = static_cast<double>(v);
    }
    return h;
}

class CalsReader final : public SinglePageReader {
public:
    std::string name() const override { return kFormat; }
    std::vector<std::string> extensions() const override { return {".cal", ".cals"}; }

    Sniff sniff(std::span<const std::uint8_t> head) const override {
        for (const char* key : {"srcdocid:", "rtype:", "dstdocid:"})
            if (startsWithKey(head, key)) return Sniff::Strong;
        return Sniff::No;
    }

protected:
    void checkHeader(std::span<const std::uint8_t> data, const ReadContext&) const override { readHeader(data); }

    Image readPage(std::span<const std::uint8_t> data, const ReadContext&) const override {
        const Header h = readHeader(data);
        Image page = ccittDecode(data.subspan(kHeaderSize), static_cast<int>(h.width), static_cast<int>(h.height),
                                 CcittCoding::G4, kFormat);
        page.xDpi = page.yDpi = h.dpi;
        return orient(page, h.pelPath, h.lineProgression);
    }
};

void putRecord(std::vector<std::uint8_t>& out, const std::string& text) {
    std::string rec = text;
    rec.resize(kRecordSize, ' ');
    out.insert(out.end(), rec.begin(), rec.end());
}

class CalsWriter final : public FormatWriter {
public:
    std::string name() const override { return kFormat; }
    std::vector<WriteCapability> capabilities() const override { return {{50, {1}}}; }
    std::vector<std::uint8_t> encode(const Image& page, const WriteOptions&) const override {
        if (page.width() > 999999 || page.height() > 999999)
            fail(kFormat, "page too large for the six-digit rpelcnt record");
        const long dpi = page.xDpi > 0 ? std::clamp(std::lround(page.xDpi), 1L, 9999L) : 200L;
        char pelcnt[64], density[32];
        std::snprintf(pelcnt, sizeof pelcnt, "rpelcnt: %06d,%06d", page.width(), page.height());
        std::snprintf(density, sizeof density, "rdensty: %04ld", dpi);
        std::vector<std::uint8_t> out;
        out.reserve(kHeaderSize);
        for (const char* r : {"srcdocid: NONE", "dstdocid: NONE", "txtfilid: NONE", "figid: NONE", "srcgph: NONE",
                              "doccls: NONE", "rtype: 1", "rorient: 000,270"})
            putRecord(out, r);
        putRecord(out, pelcnt);
        putRecord(out, density);
        putRecord(out, "notes: NONE");
        while (out.size() < kHeaderSize) putRecord(out, "");
        const std::vector<std::uint8_t> g4 = ccittEncode(page, CcittCoding::G4);
        out.insert(out.end(), g4.begin(), g4.end());
        return out;
    }
};

}  // namespace

void registerCalsCodec(Registry& registry) { registry.addCodec<CalsReader, CalsWriter>(); }

}  // namespace rastel::imaging
