// Encapsulated PostScript. The writer emits a one-page EPSF-3.0 file holding
// the picture as an 8-bit image (DeviceGray when the palette is gray, an
// /Indexed DeviceRGB colour space otherwise), RunLength-compressed and
// ASCII85-encoded. The reader does not interpret PostScript itself: it checks
// the file (DOS binary header, DSC comments, bounding box against the pixel
// limit) and has Ghostscript render it in a separate, sandboxed process
// (-dSAFER, private temporary folder, cleaned environment, time and file-size
// limits), then parses the PPM it wrote.

#include "imaging/codecs/eps.h"

#include <signal.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

#include "imaging/codec.h"
#include "imaging/codecs/common/byte_io.h"
#include "imaging/codecs/common/packbits.h"
#include "imaging/codecs/common/subprocess.h"
#include "imaging/convert.h"
#include "imaging/error.h"
#include "imaging/registry.h"

namespace rastel::imaging {

namespace {

constexpr const char* kFormat = "EPS";
constexpr int kCodeEps = 16;
constexpr std::uint8_t kDosMagic[4] = {0xC5, 0xD0, 0xD3, 0xC6};
constexpr std::size_t kDosHeaderBytes = 30;
// Header comments are looked for in this many lines at most.
constexpr int kMaxHeaderLines = 2000;
// Largest absolute coordinate accepted in a bounding box (points).
constexpr double kMaxCoordinate = 1e7;

bool startsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

std::string_view asView(std::span<const std::uint8_t> d) { return {reinterpret_cast<const char*>(d.data()), d.size()}; }

// Splits PostScript text into lines ending in CR, LF or CR LF.
class LineCursor {
public:
    explicit LineCursor(std::string_view text) : text_(text) {}
    bool next(std::string_view& line) {
        if (pos_ >= text_.size()) return false;
        std::size_t end = pos_;
        while (end < text_.size() && text_[end] != '\r' && text_[end] != '\n') ++end;
        line = text_.substr(pos_, end - pos_);
        if (end < text_.size() && text_[end] == '\r') ++end;
        if (end < text_.size() && text_[end] == '\n') ++end;
        pos_ = end;
        return true;
    }

private:
    std::string_view text_;
    std::size_t pos_ = 0;
};

void skipBlanks(std::string_view& s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
}

bool parseNumber(std::string_view& s, double& v) {
    skipBlanks(s);
    const char* first = s.data();
    const char* last = s.data() + s.size();
    if (first != last && *first == '+') ++first;
    const auto r = std::from_chars(first, last, v);
    if (r.ec != std::errc() || !std::isfinite(v)) return false;
    s.remove_prefix(static_cast<std::size_t>(r.ptr - s.data()));
    return true;
}

// The four numbers of a bounding-box comment value, or nothing.
std::optional<eps::Box> parseBox(std::string_view value) {
    eps::Box b;
    if (!parseNumber(value, b.llx) || !parseNumber(value, b.lly) || !parseNumber(value, b.urx) ||
        !parseNumber(value, b.ury))
        return std::nullopt;
    return b;
}

bool isAtEnd(std::string_view value) {
    skipBlanks(value);
    return startsWith(value, "(atend)");
}

std::string cleanText(std::string_view v) {
    skipBlanks(v);
    std::string out;
    for (char c : v.substr(0, 200)) out += (static_cast<unsigned char>(c) < 0x20) ? ' ' : c;
    return out;
}

void checkBox(const eps::Box& b, const char* what) {
    for (double v : {b.llx, b.lly, b.urx, b.ury})
        if (std::fabs(v) > kMaxCoordinate) fail(kFormat, std::string(what) + " is out of range");
    if (!(b.width() > 0) || !(b.height() > 0)) fail(kFormat, std::string(what) + " is empty");
}

}  // namespace

namespace eps {

Info parse(std::span<const std::uint8_t> data) {
    Info info;
    info.postscript = data;
    if (data.size() >= 4 && std::memcmp(data.data(), kDosMagic, 4) == 0) {
        ByteReader r(data, kFormat);
        r.require(kDosHeaderBytes, "DOS binary header");
        r.seek(4);
        const std::uint64_t psOffset = r.u32le();
        const std::uint64_t psLength = r.u32le();
        if (psOffset < kDosHeaderBytes || psLength == 0 || psOffset + psLength > data.size())
            fail(kFormat, "the PostScript section of the DOS binary header lies outside the file");
        info.postscript = data.subspan(psOffset, psLength);
        info.dosBinary = true;
    }
    const std::string_view text = asView(info.postscript);
    if (!startsWith(text, "%!")) fail(kFormat, "the PostScript section does not start with %!");

    LineCursor lines(text);
    std::string_view line;
    lines.next(line);
    info.epsf = startsWith(line, "%!PS-Adobe-") && line.find("EPSF") != std::string_view::npos;

    bool boxAtEnd = false, hiResAtEnd = false;
    for (int n = 0; n < kMaxHeaderLines && lines.next(line); ++n) {
        if (startsWith(line, "%%EndComments")) break;
        // The header ends at the first line that is no comment; blank lines
        // some writers put among the comments do not end it.
        if (line.find_first_not_of(" \t") == std::string_view::npos) continue;
        if (line[0] != '%') break;
        if (startsWith(line, "%%BoundingBox:")) {
            const auto v = line.substr(14);
            if (isAtEnd(v))
                boxAtEnd = !info.boundingBox;
            else if (!info.boundingBox) {
                info.boundingBox = parseBox(v);
                if (!info.boundingBox) fail(kFormat, "%%BoundingBox is not four numbers");
            }
        } else if (startsWith(line, "%%HiResBoundingBox:")) {
            const auto v = line.substr(19);
            if (isAtEnd(v))
                hiResAtEnd = !info.hiResBoundingBox;
            else if (!info.hiResBoundingBox)
                info.hiResBoundingBox = parseBox(v);
        } else if (startsWith(line, "%%LanguageLevel:")) {
            double level = 0;
            auto v = line.substr(16);
            if (parseNumber(v, level) && level >= 1 && level <= 9) info.languageLevel = static_cast<int>(level);
        } else if (startsWith(line, "%%Creator:")) {
            info.creator = cleanText(line.substr(10));
        } else if (startsWith(line, "%%Title:")) {
            info.title = cleanText(line.substr(8));
        }
    }
    // Values deferred with (atend) are in the trailer; the last one counts.
    if (boxAtEnd || hiResAtEnd) {
        std::optional<Box> box, hiRes;
        while (lines.next(line)) {
            if (boxAtEnd && startsWith(line, "%%BoundingBox:")) {
                if (auto b = parseBox(line.substr(14))) box = b;
            } else if (hiResAtEnd && startsWith(line, "%%HiResBoundingBox:")) {
                if (auto b = parseBox(line.substr(19))) hiRes = b;
            }
        }
        if (boxAtEnd) {
            if (!box) fail(kFormat, "%%BoundingBox is deferred to a trailer that does not give it");
            info.boundingBox = box;
        }
        if (hiResAtEnd) info.hiResBoundingBox = hiRes;
    }
    if (!info.boundingBox) fail(kFormat, "no %%BoundingBox comment");
    checkBox(*info.boundingBox, "%%BoundingBox");
    if (info.hiResBoundingBox) {
        const Box& h = *info.hiResBoundingBox;
        if (!(h.width() > 0 && h.height() > 0)) info.hiResBoundingBox.reset();
    }
    return info;
}

PixelFrame pixelFrame(const Box& box, double dpi) {
    checkBox(box, "%%BoundingBox");
    if (!(dpi > 0 && dpi <= 10000)) fail(kFormat, "rendering resolution out of range");
    // Outward to whole pixels, with a little slack for decimal fractions.
    const double s = dpi / 72.0;
    const double x0 = std::floor(box.llx * s + 1e-6), y0 = std::floor(box.lly * s + 1e-6);
    const double w = std::ceil(box.urx * s - 1e-6) - x0, h = std::ceil(box.ury * s - 1e-6) - y0;
    if (w > 1e9 || h > 1e9) fail(Error::Kind::TooLarge, kFormat, "the bounding box is too large to render");
    checkDimensions(kFormat, static_cast<std::int64_t>(w), static_cast<std::int64_t>(h));
    return {x0 / s, y0 / s, static_cast<int>(w), static_cast<int>(h)};
}

void renderedSize(const Box& box, double dpi, int& width, int& height) {
    const PixelFrame f = pixelFrame(box, dpi);
    width = f.width;
    height = f.height;
}

const Box& renderBox(const Info& info) {
    // The fine box when it agrees with the whole-point one (which writers
    // round outward from it); a stray fine box does not move the picture.
    if (const auto& hi = info.hiResBoundingBox) {
        const Box& b = *info.boundingBox;
        if (std::fabs(hi->llx - b.llx) <= 1 && std::fabs(hi->lly - b.lly) <= 1 && std::fabs(hi->urx - b.urx) <= 1 &&
            std::fabs(hi->ury - b.ury) <= 1)
            return *hi;
    }
    return *info.boundingBox;
}

Image parsePpm(std::span<const std::uint8_t> data) {
    ByteReader r(data, kFormat);
    const std::uint8_t p = r.u8();
    const std::uint8_t kind = r.u8();
    if (p != 'P' || (kind != '6' && kind != '5')) fail(kFormat, "the renderer output is not a binary PPM/PGM");
    auto skipSpaceAndComments = [&] {
        for (;;) {
            r.require(1, "PPM header");
            const std::uint8_t c = data[r.pos()];
            if (c == '#') {
                while (r.u8() != '\n') {
                }
            } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
                r.skip(1);
            } else {
                return;
            }
        }
    };
    auto number = [&]() -> std::uint64_t {
        skipSpaceAndComments();
        std::uint64_t v = 0;
        int digits = 0;
        while (r.remaining() > 0 && data[r.pos()] >= '0' && data[r.pos()] <= '9') {
            if (++digits > 9) fail(kFormat, "PPM header number too large");
            v = v * 10 + (r.u8() - '0');
        }
        if (digits == 0) fail(kFormat, "malformed PPM header");
        return v;
    };
    const std::uint64_t w = number();
    const std::uint64_t h = number();
    const std::uint64_t maxval = number();
    const std::uint8_t sep = r.u8();
    if (sep != ' ' && sep != '\t' && sep != '\n' && sep != '\r') fail(kFormat, "malformed PPM header");
    if (maxval < 1 || maxval > 255) fail(kFormat, "the renderer output has an unsupported sample range");
    checkDimensions(kFormat, static_cast<std::int64_t>(w), static_cast<std::int64_t>(h));
    const int channels = kind == '6' ? 3 : 1;
    const auto samples = r.bytes(w * h * static_cast<std::uint64_t>(channels), "pixel data");
    auto scale = [maxval](std::uint8_t v) -> std::uint8_t {
        if (maxval == 255) return v;
        const unsigned s = std::min<unsigned>(v, static_cast<unsigned>(maxval));
        return static_cast<std::uint8_t>((s * 255 + maxval / 2) / maxval);
    };
    bool gray = true;
    if (channels == 3)
        for (std::size_t i = 0; i + 2 < samples.size() && gray; i += 3)
            gray = samples[i] == samples[i + 1] && samples[i] == samples[i + 2];
    const int iw = static_cast<int>(w), ih = static_cast<int>(h);
    Image img(iw, ih, gray ? PixelFormat::Gray8 : PixelFormat::Rgb24);
    for (int y = 0; y < ih; ++y) {
        std::uint8_t* out = img.row(y);
        const std::size_t rowStart = static_cast<std::size_t>(y) * static_cast<std::size_t>(iw) * channels;
        for (int x = 0; x < iw; ++x) {
            const std::size_t at = rowStart + static_cast<std::size_t>(x) * channels;
            if (gray) {
                out[x] = scale(samples[at]);
            } else {
                out[3 * x] = scale(samples[at]);
                out[3 * x + 1] = scale(samples[at + 1]);
                out[3 * x + 2] = scale(samples[at + 2]);
            }
        }
    }
    return img;
}

std::string findGhostscript() { return findExecutable("gs", "/usr/bin:/bin:/usr/local/bin"); }

namespace {

// The line of Ghostscript's messages that says what went wrong.
std::string ghostscriptMessage(const std::string& path) {
    std::vector<std::uint8_t> raw;
    try {
        raw = readFileLimited(path, std::uint64_t{1} << 26, kFormat);
    } catch (const Error&) {
        return {};
    }
    std::string_view text(reinterpret_cast<const char*>(raw.data()), raw.size());
    LineCursor lines(text);
    std::string_view line, first;
    while (lines.next(line)) {
        if (line.find("Error:") != std::string_view::npos) return cleanText(line);
        if (first.empty() && !line.empty()) first = line;
    }
    return cleanText(first);
}

}  // namespace

Image render(std::span<const std::uint8_t> data, const RenderOptions& opt) {
    const Info info = parse(data);
    const PixelFrame frame = pixelFrame(renderBox(info), opt.dpi);  // the pixel limit, before anything runs

    const std::string gs = opt.ghostscript.empty() ? findGhostscript() : opt.ghostscript;
    if (gs.empty() || access(gs.c_str(), X_OK) != 0)
        fail(kFormat, "rendering needs Ghostscript (gs), which is not installed");

    PrivateTempDir dir(kFormat);
    dir.writeFile("input.eps", info.postscript.data(), info.postscript.size());
    const std::uint64_t maxOutput = pixelLimit() * 3 + 65536;

    char dpi[32], size[64], origin[96];
    std::snprintf(dpi, sizeof dpi, "-r%g", opt.dpi);
    std::snprintf(size, sizeof size, "-g%dx%d", frame.width, frame.height);
    std::snprintf(origin, sizeof origin, "%.6f %.6f translate", -frame.x, -frame.y);
    SubprocessOptions run;
    run.program = gs;
    // The page is the bounding box (taken from the trailer when deferred
    // there, which Ghostscript's own cropping does not read). A file that ends
    // without showpage still gives its page. Relative names inside the
    // private folder: no '%' of a temporary path can be taken for a
    // page-number template.
    run.args = {"-dSAFER",
                "-dBATCH",
                "-dNOPAUSE",
                "-dNOPROMPT",
                "-dQUIET",
                "-dFIXEDMEDIA",
                size,
                "-dLastPage=1",
                "-dNOINTERPOLATE",
                "-sDEVICE=ppmraw",
                dpi,
                "-sOutputFile=page.ppm",
                "-c",
                origin,
                "-f",
                "input.eps",
                "-c",
                "currentpagedevice /PageCount get 0 eq { showpage } if"};
    run.env = {"PATH=/usr/bin:/bin", "HOME=" + dir.path(), "TMPDIR=" + dir.path(), "LC_ALL=C"};
    run.workDir = dir.path();
    run.outputPath = dir.path() + "/messages.txt";
    run.timeoutSeconds = opt.timeoutSeconds;
    run.maxFileBytes = maxOutput;
    const SubprocessResult res = runSubprocess(run, kFormat);
    if (!res.started) fail(kFormat, "rendering needs Ghostscript (gs), which could not be started");
    if (res.timedOut) {
        char secs[32];
        std::snprintf(secs, sizeof secs, "%g", opt.timeoutSeconds);
        fail(kFormat, std::string("Ghostscript did not finish rendering within ") + secs + " s");
    }
    if (res.signal == SIGXFSZ)
        fail(Error::Kind::TooLarge, kFormat, "the rendered page is larger than the pixel limit allows");
    if (res.exitCode != 0) {
        std::string why = ghostscriptMessage(run.outputPath);
        if (res.signal) why = "ended by signal " + std::to_string(res.signal) + (why.empty() ? "" : "; " + why);
        fail(kFormat, "Ghostscript could not render the file" + (why.empty() ? std::string() : ": " + why));
    }
    const auto ppm = readFileLimited(dir.path() + "/page.ppm", maxOutput, kFormat);
    Image img = parsePpm(ppm);
    img.xDpi = img.yDpi = opt.dpi;
    return img;
}

}  // namespace eps

namespace {

// reader

class EpsReader : public SinglePageReader {
public:
    std::string name() const override { return kFormat; }
    std::vector<std::string> extensions() const override { return {".eps", ".epsf", ".epi"}; }

    Sniff sniff(std::span<const std::uint8_t> head) const override {
        if (head.size() >= 4 && std::memcmp(head.data(), kDosMagic, 4) == 0) return Sniff::Strong;
        const std::string_view text = asView(head);
        if (!startsWith(text, "%!PS-Adobe")) return Sniff::No;
        LineCursor lines(text);
        std::string_view first;
        lines.next(first);
        return first.find("EPSF") != std::string_view::npos ? Sniff::Strong : Sniff::Weak;
    }

protected:
    void checkHeader(std::span<const std::uint8_t> data, const ReadContext&) const override { (void)eps::parse(data); }

    Image readPage(std::span<const std::uint8_t> data, const ReadContext&) const override {
        return eps::render(data, eps::RenderOptions{});
    }
};

// writer

// ASCII85 lines of at most 75 characters; a line that would begin with '%'
// gets a leading space so that no data line can be taken for a comment.
class Ascii85Out {
public:
    explicit Ascii85Out(std::string& out) : out_(out) {}
    void put(std::uint8_t b) {
        group_ = (group_ << 8) | b;
        if (++count_ == 4) {
            flushGroup(4);
            group_ = 0;
            count_ = 0;
        }
    }
    void finish() {
        if (count_ > 0) {
            const int n = count_;
            group_ <<= 8 * (4 - n);
            count_ = 0;
            flushGroup(n);
        }
        emit('~');
        emit('>');
        out_ += '\n';
    }

private:
    void flushGroup(int n) {
        if (n == 4 && group_ == 0) {
            emit('z');
            return;
        }
        char digits[5];
        std::uint32_t v = group_;
        for (int i = 4; i >= 0; --i) {
            digits[i] = static_cast<char>('!' + v % 85);
            v /= 85;
        }
        for (int i = 0; i < n + 1; ++i) emit(digits[i]);
    }
    void emit(char c) {
        if (column_ == 75) {
            out_ += '\n';
            column_ = 0;
        }
        if (column_ == 0 && c == '%') {
            out_ += ' ';
            ++column_;
        }
        out_ += c;
        ++column_;
    }

    std::string& out_;
    std::uint32_t group_ = 0;
    int count_ = 0;
    int column_ = 0;
};

std::string formatReal(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.4f", v);
    return buf;
}

std::string titleOf(const std::string& path) {
    std::string name = path.substr(path.find_last_of('/') == std::string::npos ? 0 : path.find_last_of('/') + 1);
    std::string out;
    for (char c : name.substr(0, 200)) out += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? '_' : c;
    return out.empty() ? "image" : out;
}

class EpsWriter : public FormatWriter {
public:
    std::string name() const override { return kFormat; }
    std::vector<WriteCapability> capabilities() const override { return {{kCodeEps, {8}}}; }

    std::vector<std::uint8_t> encode(const Image& page, const WriteOptions& opt) const override {
        const Image img = toBitsPerPixel(page, 8);  // Indexed with at most 256 colours
        const int w = img.width(), h = img.height();
        const bool gray = isGrayPalette(img.palette());

        double xDpi = page.xDpi > 0 ? page.xDpi : (page.yDpi > 0 ? page.yDpi : 72.0);
        double yDpi = page.yDpi > 0 ? page.yDpi : xDpi;
        const double wPt = w * 72.0 / xDpi, hPt = h * 72.0 / yDpi;
        const long boxW = static_cast<long>(std::ceil(wPt - 1e-6));
        const long boxH = static_cast<long>(std::ceil(hPt - 1e-6));

        std::string s;
        s += "%!PS-Adobe-3.0 EPSF-3.0\n";
        s += "%%BoundingBox: 0 0 " + std::to_string(boxW) + " " + std::to_string(boxH) + "\n";
        s += "%%HiResBoundingBox: 0 0 " + formatReal(wPt) + " " + formatReal(hPt) + "\n";
        s += "%%Creator: Rastel\n";
        s += "%%Title: " + titleOf(opt.path) + "\n";
        s += "%%Pages: 1\n";
        s += "%%LanguageLevel: 2\n";
        s += "%%EndComments\n";
        s += "%%BeginProlog\n%%EndProlog\n";
        s += "%%Page: 1 1\n";
        s += "gsave\n";
        char scale[96];
        std::snprintf(scale, sizeof scale, "%.6f %.6f scale\n", wPt, hPt);
        s += scale;
        if (gray) {
            s += "/DeviceGray setcolorspace\n";
        } else {
            static const char hex[] = "0123456789ABCDEF";
            s += "[/Indexed /DeviceRGB 255 <\n";
            for (int i = 0; i < 256; ++i) {
                const Rgb c = i < static_cast<int>(img.palette().size()) ? img.palette()[i] : Rgb{};
                for (std::uint8_t v : {c.r, c.g, c.b}) {
                    s += hex[v >> 4];
                    s += hex[v & 15];
                }
                if (i % 12 == 11) s += '\n';
            }
            s += "\n>] setcolorspace\n";
        }
        s += "<<\n/ImageType 1\n/Width " + std::to_string(w) + "\n/Height " + std::to_string(h) +
             "\n/BitsPerComponent 8\n";
        s += gray ? "/Decode [0 1]\n" : "/Decode [0 255]\n";
        s += "/ImageMatrix [" + std::to_string(w) + " 0 0 -" + std::to_string(h) + " 0 " + std::to_string(h) + "]\n";
        s += "/DataSource currentfile /ASCII85Decode filter /RunLengthDecode filter\n>>\nimage\n";

        // Samples: gray levels, or palette indices; RunLength runs end with 128.
        std::vector<std::uint8_t> rowSamples(static_cast<std::size_t>(w));
        std::vector<std::uint8_t> runs;
        for (int y = 0; y < h; ++y) {
            const std::uint8_t* in = img.row(y);
            for (int x = 0; x < w; ++x) rowSamples[x] = gray ? img.palette()[in[x]].r : in[x];
            packBitsEncode(rowSamples, runs);
        }
        runs.push_back(128);
        Ascii85Out a85(s);
        for (std::uint8_t b : runs) a85.put(b);
        a85.finish();

        s += "grestore\n";
        s += "showpage\n";
        s += "%%Trailer\n";
        s += "%%EOF\n";
        return std::vector<std::uint8_t>(s.begin(), s.end());
    }
};

}  // namespace

void registerEpsCodec(Registry& registry) { registry.addCodec<EpsReader, EpsWriter>(); }

}  // namespace rastel::imaging
