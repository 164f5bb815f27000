#include "imaging/codecs/common/ccitt.h"

#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>

#include "imaging/codecs/common/bits.h"
#include "imaging/codecs/common/byte_io.h"
#include "imaging/convert.h"
#include "imaging/error.h"

namespace rastel::imaging {

namespace {

// libtiff glue

// What libtiff reported through the handlers of one handle. Nothing reaches the
// console: the handlers record and claim every message.
struct Diagnostics {
    std::vector<std::string> errors;
    int warnings = 0;
};

int recordError(TIFF*, void* user, const char* module, const char* fmt, va_list ap) {
    char text[512];
    std::vsnprintf(text, sizeof text, fmt, ap);
    auto* d = static_cast<Diagnostics*>(user);
    if (d->errors.size() < 8) d->errors.push_back(std::string(module ? module : "libtiff") + ": " + text);
    return 1;
}

int recordWarning(TIFF*, void* user, const char*, const char*, va_list) {
    ++static_cast<Diagnostics*>(user)->warnings;
    return 1;
}

// An in-memory file for TIFFClientOpenExt: reads from `in`, or grows `out`.
struct MemFile {
    std::span<const std::uint8_t> in;
    std::vector<std::uint8_t>* out = nullptr;
    std::uint64_t pos = 0;

    std::uint64_t size() const { return out ? out->size() : in.size(); }
};

tmsize_t memRead(thandle_t h, void* buf, tmsize_t n) {
    auto* f = static_cast<MemFile*>(h);
    const std::uint64_t size = f->size();
    if (n <= 0 || f->pos >= size) return 0;
    const std::uint64_t count = std::min<std::uint64_t>(static_cast<std::uint64_t>(n), size - f->pos);
    const std::uint8_t* src = f->out ? f->out->data() : f->in.data();
    std::memcpy(buf, src + f->pos, count);
    f->pos += count;
    return static_cast<tmsize_t>(count);
}

tmsize_t memWrite(thandle_t h, void* buf, tmsize_t n) {
    auto* f = static_cast<MemFile*>(h);
    if (!f->out || n < 0) return -1;
    const std::uint64_t end = f->pos + static_cast<std::uint64_t>(n);
    if (end > (std::uint64_t{1} << 34)) return -1;
    if (f->out->size() < end) f->out->resize(end);
    if (n > 0) std::memcpy(f->out->data() + f->pos, buf, static_cast<std::size_t>(n));
    f->pos = end;
    return n;
}

toff_t memSeek(thandle_t h, toff_t off, int whence) {
    auto* f = static_cast<MemFile*>(h);
    std::uint64_t base = 0;
    if (whence == SEEK_CUR)
        base = f->pos;
    else if (whence == SEEK_END)
        base = f->size();
    const std::uint64_t target = base + off;
    if (target > (std::uint64_t{1} << 34)) return static_cast<toff_t>(-1);
    f->pos = target;
    return f->pos;
}

int memClose(thandle_t) { return 0; }
toff_t memSize(thandle_t h) { return static_cast<MemFile*>(h)->size(); }
int memMap(thandle_t, void**, toff_t*) { return 0; }
void memUnmap(thandle_t, void*, toff_t) {}

// One libtiff handle over a MemFile with its own diagnostics.
class TiffHandle {
public:
    TiffHandle(MemFile& file, const char* mode, Diagnostics& diag) {
        TIFFOpenOptions* opts = TIFFOpenOptionsAlloc();
        if (!opts) return;
        TIFFOpenOptionsSetErrorHandlerExtR(opts, recordError, &diag);
        TIFFOpenOptionsSetWarningHandlerExtR(opts, recordWarning, &diag);
        TIFFOpenOptionsSetMaxSingleMemAlloc(opts, tmsize_t{1} << 30);
        tif_ = TIFFClientOpenExt("fax data", mode, &file, memRead, memWrite, memSeek, memClose, memSize, memMap,
                                 memUnmap, opts);
        TIFFOpenOptionsFree(opts);
    }
    ~TiffHandle() { close(); }
    TiffHandle(const TiffHandle&) = delete;
    TiffHandle& operator=(const TiffHandle&) = delete;

    TIFF* get() const { return tif_; }
    void close() {
        if (tif_) TIFFClose(tif_);
        tif_ = nullptr;
    }

private:
    TIFF* tif_ = nullptr;
};

std::string firstError(const Diagnostics& d) { return d.errors.empty() ? std::string("libtiff failed") : d.errors[0]; }

// decoding

// libtiff hands every decoded line to a "fill" routine as alternating white and
// black run lengths. Ours packs the line itself and notes what the runs were:
// whether the line has any black (G4 data that has ended yields white lines
// with a warning) and, for a probe line decoded with an oversized width, how
// long the coded line really was (libtiff pads it with one last white run).
using FaxFillFunc = void (*)(unsigned char*, std::uint32_t*, std::uint32_t*, std::uint32_t);

struct FillRecord {
    std::size_t runCount = 0;
    std::uint32_t lastRun = 0;
    bool anyBlack = false;
};

thread_local FillRecord* activeFill = nullptr;

void fillLine(unsigned char* buf, std::uint32_t* runs, std::uint32_t* erun, std::uint32_t lastx) {
    const std::size_t rowBytes = (static_cast<std::size_t>(lastx) + 7) / 8;
    std::memset(buf, 0, rowBytes);
    const std::size_t n = runs <= erun ? static_cast<std::size_t>(erun - runs) : 0;
    std::uint64_t x = 0;
    for (std::size_t i = 0; i < n && x < lastx; ++i) {
        const std::uint64_t end = std::min<std::uint64_t>(x + runs[i], lastx);
        if ((i & 1) && end > x && activeFill) activeFill->anyBlack = true;
        if (i & 1)  // odd runs are black
            for (std::uint64_t p = x; p < end; ++p) buf[p >> 3] |= static_cast<unsigned char>(0x80u >> (p & 7));
        x = end;
    }
    if (activeFill) {
        activeFill->runCount = n;
        activeFill->lastRun = n ? runs[n - 1] : 0;
    }
}

class ActiveFill {
public:
    explicit ActiveFill(FillRecord& r) : saved_(activeFill) { activeFill = &r; }
    ~ActiveFill() { activeFill = saved_; }
    ActiveFill(const ActiveFill&) = delete;
    ActiveFill& operator=(const ActiveFill&) = delete;

private:
    FillRecord* saved_;
};

// A little-endian TIFF holding `data` as the one strip of a width x height
// bi-level image with the given coding.
std::vector<std::uint8_t> wrapInTiff(std::span<const std::uint8_t> data, std::uint32_t width, std::uint32_t height,
                                     CcittCoding coding) {
    struct Entry {
        std::uint16_t tag, type;
        std::uint32_t value;
    };
    constexpr std::uint16_t kShort = 3, kLong = 4;
    const std::uint32_t nEntries = 11;
    const std::uint32_t dataOffset = 8 + 2 + nEntries * 12 + 4;
    const Entry entries[nEntries] = {
        {256, kLong, width},
        {257, kLong, height},
        {258, kShort, 1},                                       // BitsPerSample
        {259, kShort, coding == CcittCoding::G4 ? 4u : 3u},     // Compression
        {262, kShort, 0},                                       // MinIsWhite: 1 = black
        {266, kShort, 1},                                       // FillOrder MSB first
        {273, kLong, dataOffset},                               // StripOffsets
        {277, kShort, 1},                                       // SamplesPerPixel
        {278, kLong, height},                                   // RowsPerStrip
        {279, kLong, static_cast<std::uint32_t>(data.size())},  // StripByteCounts
        {static_cast<std::uint16_t>(coding == CcittCoding::G4 ? 293 : 292), kLong,
         coding == CcittCoding::G3TwoD ? 1u : 0u},  // T4Options (2-D bit) / T6Options
    };
    ByteWriter w;
    w.u8('I');
    w.u8('I');
    w.u16le(42);
    w.u32le(8);
    w.u16le(nEntries);
    for (const Entry& e : entries) {
        w.u16le(e.tag);
        w.u16le(e.type);
        w.u32le(1);
        if (e.type == kShort) {
            w.u16le(static_cast<std::uint16_t>(e.value));
            w.u16le(0);
        } else {
            w.u32le(e.value);
        }
    }
    w.u32le(0);
    w.bytes(data);
    return w.take();
}

struct DecodeOutcome {
    std::vector<std::uint8_t> packed;  // rowsDone rows of rowBytes, 1 = black
    std::size_t rowBytes = 0;
    int rowsDone = 0;
    int badRows = 0;          // lines libtiff warned about (wrong length)
    bool endedEarly = false;  // the data ran out before `height` lines
    std::string error;        // set when libtiff reported an error
    std::uint32_t firstLastRun = 0;
    bool firstRowWarned = false;
};

// Decodes up to `height` lines. Stops at the first line the data does not hold
// (G3: the decoder reports the end; G4: a line without runs) or at an error.
DecodeOutcome decodeRows(std::span<const std::uint8_t> data, std::uint32_t width, std::uint32_t height,
                         CcittCoding coding, const std::string& format) {
    DecodeOutcome out;
    if (data.size() > std::numeric_limits<std::uint32_t>::max() - 4096u) fail(format, "fax data too large");
    const std::vector<std::uint8_t> file = wrapInTiff(data, width, height, coding);
    MemFile mem;
    mem.in = file;
    Diagnostics diag;
    TiffHandle tif(mem, "rm", diag);
    if (!tif.get()) {
        out.error = firstError(diag);
        return out;
    }
    if (TIFFSetField(tif.get(), TIFFTAG_FAXFILLFUNC, static_cast<FaxFillFunc>(fillLine)) != 1) {
        out.error = "cannot install the line routine";
        return out;
    }
    const tmsize_t scan = TIFFScanlineSize(tif.get());
    out.rowBytes = (static_cast<std::size_t>(width) + 7) / 8;
    if (scan <= 0 || static_cast<std::size_t>(scan) != out.rowBytes) {
        out.error = firstError(diag);
        return out;
    }
    std::vector<std::uint8_t> line(out.rowBytes);
    FillRecord rec;
    ActiveFill active(rec);
    for (std::uint32_t y = 0; y < height; ++y) {
        rec = FillRecord{};
        const int warningsBefore = diag.warnings;
        const int rc = TIFFReadScanline(tif.get(), line.data(), y, 0);
        if (!diag.errors.empty()) {
            out.error = diag.errors[0];
            return out;
        }
        const bool warned = diag.warnings != warningsBefore;
        // No further line in the data: the G3 decoders fail at the end of the
        // data; the G4 decoder keeps returning white lines it warns about.
        if (rc < 0 || rec.runCount == 0 || (coding == CcittCoding::G4 && warned && !rec.anyBlack)) {
            out.endedEarly = true;
            return out;
        }
        if (y == 0) {
            out.firstLastRun = rec.lastRun;
            out.firstRowWarned = warned;
        }
        if (warned) ++out.badRows;
        out.packed.insert(out.packed.end(), line.begin(), line.end());
        ++out.rowsDone;
    }
    return out;
}

Image toPage(const DecodeOutcome& d, int width, int rows, const std::string& format) {
    checkDimensions(format, width, rows);
    Image img(width, rows, PixelFormat::Indexed, 1);
    img.palette() = {Rgb{255, 255, 255}, Rgb{0, 0, 0}};
    for (int y = 0; y < rows; ++y)
        unpackBits(d.packed.data() + static_cast<std::size_t>(y) * d.rowBytes, static_cast<std::size_t>(width), 1,
                   img.row(y));
    return img;
}

bool bitAt(std::span<const std::uint8_t> data, std::uint64_t i) { return (data[i >> 3] >> (7 - (i & 7))) & 1; }

// Lines of G3 data: those introduced by an EOL (plus the tag bit in the
// two-dimensional form) that hold any code bits. The first EOL followed
// directly by another EOL (the start of RTC) or by nothing ends the page.
int countG3Lines(std::span<const std::uint8_t> data, bool twoD) {
    const std::uint64_t bits = static_cast<std::uint64_t>(data.size()) * 8;
    int rows = 0;
    bool haveEol = false;
    std::uint64_t rowStart = 0;
    std::int64_t lastOne = -1;
    std::uint64_t zeros = 0;
    for (std::uint64_t i = 0; i < bits; ++i) {
        if (!bitAt(data, i)) {
            ++zeros;
            continue;
        }
        if (zeros >= 11) {
            if (haveEol) {
                if (lastOne < static_cast<std::int64_t>(rowStart)) return rows;
                if (rows == std::numeric_limits<int>::max()) return rows;
                ++rows;
            }
            haveEol = true;
            rowStart = i + 1 + (twoD ? 1 : 0);
        } else {
            lastOne = static_cast<std::int64_t>(i);
        }
        zeros = 0;
    }
    if (haveEol && lastOne >= static_cast<std::int64_t>(rowStart)) ++rows;
    return rows;
}

// Width used to measure the first line of G3 data of unknown width: wide enough
// for any real page, small enough to keep the probe cheap.
constexpr std::uint32_t kProbeWidth = 1u << 16;

struct G3Result {
    DecodeOutcome outcome;
    int width = 0;
    int rows = 0;
};

G3Result decodeG3Unbounded(std::span<const std::uint8_t> data, CcittCoding coding, int width,
                           const std::string& format) {
    G3Result r;
    const int lines = countG3Lines(data, coding == CcittCoding::G3TwoD);
    if (lines == 0) fail(format, "no fax lines found (no EOL codes)");
    if (width <= 0) {
        // Decode the first line at an oversized width: libtiff pads the short line
        // with one final white run, so the coded length is the rest.
        DecodeOutcome probe = decodeRows(data, kProbeWidth, 1, coding, format);
        if (!probe.error.empty()) fail(format, "damaged fax data: " + probe.error);
        if (probe.rowsDone != 1 || !probe.firstRowWarned || probe.firstLastRun >= kProbeWidth)
            fail(format, "cannot find the line width of the fax data");
        width = static_cast<int>(kProbeWidth - probe.firstLastRun);
    }
    checkDimensions(format, width, lines);
    r.width = width;
    r.outcome = decodeRows(data, static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(lines), coding, format);
    if (!r.outcome.error.empty()) fail(format, "damaged fax data: " + r.outcome.error);
    r.rows = r.outcome.rowsDone;
    if (r.rows == 0) fail(format, "no fax lines decoded");
    return r;
}

DecodeOutcome decodeG4Unbounded(std::span<const std::uint8_t> data, int width, const std::string& format) {
    // Every G4 line costs at least one bit, so the data holds at most bits lines.
    const std::uint64_t byBits = static_cast<std::uint64_t>(data.size()) * 8 + 1;
    const std::uint64_t byLimit = pixelLimit() / static_cast<std::uint64_t>(width) + 1;
    const std::uint64_t bound = std::min<std::uint64_t>({byBits, byLimit, std::uint64_t{0x7fffffff}});
    DecodeOutcome d =
        decodeRows(data, static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(bound), CcittCoding::G4, format);
    if (d.error.empty() && !d.endedEarly && bound == byLimit)
        checkDimensions(format, width, static_cast<std::int64_t>(bound));  // throws: past the pixel limit
    return d;
}

}  // namespace

const char* ccittCodingName(CcittCoding coding) {
    switch (coding) {
    case CcittCoding::G3OneD: return "CCITT G3 one-dimensional";
    case CcittCoding::G3TwoD: return "CCITT G3 two-dimensional";
    case CcittCoding::G4: return "CCITT G4";
    }
    return "CCITT";
}

const std::vector<int>& ccittStandardWidths() {
    static const std::vector<int> widths{1728, 2048, 2432, 1216, 864,  3456, 4096, 4864, 2592, 1700, 2550, 3400, 5100,
                                         1654, 2480, 3307, 4960, 2560, 2400, 1600, 1275, 850,  1024, 800,  640};
    return widths;
}

std::vector<std::uint8_t> ccittPackBlackRows(const Image& page, std::size_t& rowBytes) {
    if (page.empty()) fail("CCITT", "empty page");
    const Image ind = toIndexed(page, 1);
    bool black[256] = {};
    for (std::size_t i = 0; i < ind.palette().size() && i < 256; ++i) {
        const Rgb c = ind.palette()[i];
        black[i] = (299 * c.r + 587 * c.g + 114 * c.b + 500) / 1000 < 128;
    }
    const int w = ind.width();
    rowBytes = (static_cast<std::size_t>(w) + 7) / 8;
    std::vector<std::uint8_t> out(rowBytes * static_cast<std::size_t>(ind.height()), 0);
    for (int y = 0; y < ind.height(); ++y) {
        const std::uint8_t* src = ind.row(y);
        std::uint8_t* dst = out.data() + static_cast<std::size_t>(y) * rowBytes;
        for (int x = 0; x < w; ++x)
            if (black[src[x]]) dst[x >> 3] |= static_cast<std::uint8_t>(0x80u >> (x & 7));
    }
    return out;
}

std::vector<std::uint8_t> ccittEncode(const Image& page, CcittCoding coding) {
    std::size_t rowBytes = 0;
    std::vector<std::uint8_t> rows = ccittPackBlackRows(page, rowBytes);
    const std::string format = ccittCodingName(coding);

    std::vector<std::uint8_t> file;
    MemFile mem;
    mem.out = &file;
    Diagnostics diag;
    {
        TiffHandle tif(mem, "w", diag);
        if (!tif.get()) fail(format, "encoder: " + firstError(diag));
        TIFF* t = tif.get();
        const float yDpi = page.yDpi > 0 ? static_cast<float>(page.yDpi) : 196.0f;
        const float xDpi = page.xDpi > 0 ? static_cast<float>(page.xDpi) : 204.0f;
        bool ok = TIFFSetField(t, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(page.width())) &&
                  TIFFSetField(t, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(page.height())) &&
                  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 1) && TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1) &&
                  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE) &&
                  TIFFSetField(t, TIFFTAG_FILLORDER, FILLORDER_MSB2LSB) &&
                  TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
                  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, static_cast<std::uint32_t>(page.height())) &&
                  TIFFSetField(t, TIFFTAG_XRESOLUTION, xDpi) && TIFFSetField(t, TIFFTAG_YRESOLUTION, yDpi) &&
                  TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
        if (ok && coding == CcittCoding::G4) {
            ok = TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4) &&
                 TIFFSetField(t, TIFFTAG_GROUP4OPTIONS, 0);
        } else if (ok) {
            const std::uint32_t options =
                GROUP3OPT_FILLBITS | (coding == CcittCoding::G3TwoD ? GROUP3OPT_2DENCODING : 0u);
            ok = TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX3) &&
                 TIFFSetField(t, TIFFTAG_GROUP3OPTIONS, options);
        }
        if (!ok) fail(format, "encoder setup: " + firstError(diag));
        for (int y = 0; y < page.height(); ++y)
            if (TIFFWriteScanline(t, rows.data() + static_cast<std::size_t>(y) * rowBytes,
                                  static_cast<std::uint32_t>(y), 0) < 0)
                fail(format, "encoder: " + firstError(diag));
        tif.close();
        if (!diag.errors.empty()) fail(format, "encoder: " + diag.errors[0]);
    }

    // Take the coded strip back out of the TIFF libtiff wrote.
    MemFile in;
    in.in = file;
    TiffHandle rd(in, "rm", diag);
    if (!rd.get()) fail(format, "encoder: " + firstError(diag));
    std::uint64_t* counts = nullptr;
    if (TIFFNumberOfStrips(rd.get()) != 1 || !TIFFGetField(rd.get(), TIFFTAG_STRIPBYTECOUNTS, &counts) || !counts ||
        counts[0] == 0 || counts[0] > file.size())
        fail(format, "encoder produced no data");
    std::vector<std::uint8_t> strip(static_cast<std::size_t>(counts[0]));
    if (TIFFReadRawStrip(rd.get(), 0, strip.data(), static_cast<tmsize_t>(strip.size())) !=
        static_cast<tmsize_t>(strip.size()))
        fail(format, "encoder: " + firstError(diag));
    if (coding != CcittCoding::G4) {
        // libtiff leaves the end-of-page mark out of the strip; a bare G3 page ends
        // with RTC: six EOLs, each ending on a byte boundary like the line EOLs,
        // in the two-dimensional form each followed by a 1 tag bit.
        if (coding == CcittCoding::G3OneD) {
            for (int i = 0; i < 6; ++i) strip.insert(strip.end(), {0x00, 0x01});
        } else {
            strip.insert(strip.end(), {0x00, 0x01});
            for (int i = 0; i < 5; ++i) strip.insert(strip.end(), {0x80, 0x01});
            strip.push_back(0x80);
        }
    }
    return strip;
}

Image ccittDecode(std::span<const std::uint8_t> data, int width, int height, CcittCoding coding,
                  const std::string& format) {
    checkDimensions(format, width, height);
    if (data.empty()) fail(format, "no image data");
    DecodeOutcome d =
        decodeRows(data, static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height), coding, format);
    if (!d.error.empty()) fail(format, std::string("damaged ") + ccittCodingName(coding) + " data: " + d.error);
    if (d.rowsDone < height)
        fail(format, std::string(ccittCodingName(coding)) + " data ends after " + std::to_string(d.rowsDone) + " of " +
                         std::to_string(height) + " lines");
    if (d.badRows > 0)
        fail(format, std::string("damaged ") + ccittCodingName(coding) + " data: " + std::to_string(d.badRows) +
                         " lines of the wrong length");
    return toPage(d, width, height, format);
}

Image ccittDecodeUnbounded(std::span<const std::uint8_t> data, CcittCoding coding, int width,
                           const std::string& format) {
    if (data.empty()) fail(format, "no image data");
    if (coding != CcittCoding::G4) {
        G3Result r = decodeG3Unbounded(data, coding, width, format);
        // A few damaged lines are kept as libtiff repaired them (as fax viewers do);
        // mostly damaged data is not this coding at this width.
        if (r.outcome.badRows > r.rows / 4)
            fail(format, std::to_string(r.outcome.badRows) + " of " + std::to_string(r.rows) +
                             " fax lines have the wrong length");
        return toPage(r.outcome, r.width, r.rows, format);
    }
    std::vector<int> candidates;
    if (width > 0)
        candidates.push_back(width);
    else
        candidates = ccittStandardWidths();
    std::string lastProblem = "no line decoded";
    for (int w : candidates) {
        checkDimensions(format, w, 1);
        DecodeOutcome d = decodeG4Unbounded(data, w, format);
        if (!d.error.empty()) {
            lastProblem = d.error;
            continue;
        }
        if (d.rowsDone == 0 || d.badRows > 0 || !d.endedEarly) {
            lastProblem = "lines of the wrong length";
            continue;
        }
        return toPage(d, w, d.rowsDone, format);
    }
    if (width > 0) fail(format, "damaged CCITT G4 data: " + lastProblem);
    fail(format, "CCITT G4 data does not decode at any of the standard fax widths");
}

bool ccittHasEolNear(std::span<const std::uint8_t> data, std::size_t withinBytes) {
    const std::size_t n = std::min(data.size(), withinBytes + 2);
    std::uint64_t zeros = 0;
    for (std::uint64_t i = 0; i < static_cast<std::uint64_t>(n) * 8; ++i) {
        if (!bitAt(data, i)) {
            ++zeros;
            continue;
        }
        if (zeros >= 11 && i - 11 < static_cast<std::uint64_t>(withinBytes) * 8) return true;
        zeros = 0;
    }
    return false;
}

CcittCoding ccittGuessCoding(std::span<const std::uint8_t> data) {
    if (!ccittHasEolNear(data, 64)) return CcittCoding::G4;
    // Both G3 forms start every line with an EOL; decode the start both ways and
    // keep the one with fewer damaged lines (one-dimensional on a tie).
    auto score = [&](CcittCoding c) -> long {
        try {
            G3Result r = decodeG3Unbounded(data, c, 0, "CCITT");
            return static_cast<long>(r.rows) - 4L * r.outcome.badRows;
        } catch (const Error&) {
            return -1;
        }
    };
    const long oneD = score(CcittCoding::G3OneD);
    const long twoD = score(CcittCoding::G3TwoD);
    // Neither works: the early EOL was the EOFB of a short G4 page.
    if (oneD <= 0 && twoD <= 0) return CcittCoding::G4;
    return twoD > oneD ? CcittCoding::G3TwoD : CcittCoding::G3OneD;
}

}  // namespace rastel::imaging
