#include "imaging/registry.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <stdexcept>
#include <utility>

#include "fileio/file_io.h"
#include "imaging/document_budget.h"
#include "imaging/error.h"

namespace rastel::imaging {

int SinglePageReader::pageCount(std::span<const std::uint8_t> data, const ReadContext& ctx) const {
    checkHeader(data, ctx);
    return 1;
}

Document SinglePageReader::read(std::span<const std::uint8_t> data, const ReadContext& ctx) const {
    Document doc;
    doc.pages.push_back(readPage(data, ctx));
    return doc;
}

namespace {

// The whole document decoded up front; each page handed out once is released
// here, and one asked for again is decoded again with the rest.
class DecodedPages : public PageSource {
public:
    DecodedPages(const FormatReader& reader, std::span<const std::uint8_t> data, ReadContext ctx)
        : reader_(reader), data_(data), ctx_(std::move(ctx)), doc_(decode()) {}

    int pageCount() const override { return static_cast<int>(doc_.pages.size()); }

    Image page(int index) override {
        auto& slot = doc_.pages.at(static_cast<std::size_t>(index));
        if (slot.empty()) {
            Document again = decode();
            if (again.pages.size() != doc_.pages.size()) fail(reader_.name(), "the file decoded differently again");
            slot = std::move(again.pages[static_cast<std::size_t>(index)]);
        }
        return std::exchange(slot, Image{});
    }

private:
    Document decode() const {
        const DocumentPixelBudget budget;
        Document doc = reader_.read(data_, ctx_);
        // Pages copied rather than allocated escape the running count; the total is exact.
        std::uint64_t total = 0;
        for (const Image& page : doc.pages)
            total += static_cast<std::uint64_t>(page.width()) * static_cast<std::uint64_t>(page.height());
        checkDocumentPixels(total);
        return doc;
    }

    const FormatReader& reader_;
    std::span<const std::uint8_t> data_;
    ReadContext ctx_;
    Document doc_;
};

}  // namespace

std::unique_ptr<PageSource> FormatReader::open(std::span<const std::uint8_t> data, const ReadContext& ctx) const {
    return std::make_unique<DecodedPages>(*this, data, ctx);
}

int FormatReader::pageCountOfFile(int, std::uint64_t, const ReadContext&) const {
    throw std::logic_error(name() + " reads no file in pieces");
}

std::unique_ptr<PageSource> FormatReader::openFile(int, std::uint64_t, const ReadContext&) const {
    throw std::logic_error(name() + " reads no file in pieces");
}

namespace {

std::string depthList(const std::vector<int>& d) {
    std::string s;
    for (std::size_t i = 0; i < d.size(); ++i) {
        if (i) s += i + 1 == d.size() ? " or " : ", ";
        s += std::to_string(d[i]);
    }
    return s;
}

}  // namespace

std::vector<int> FormatWriter::codes() const {
    std::vector<int> out;
    for (const WriteCapability& c : capabilities()) out.push_back(c.code);
    return out;
}

std::vector<int> FormatWriter::depths(int code) const {
    for (WriteCapability& c : capabilities())
        if (c.code == code) return std::move(c.depths);
    return {};
}

bool FormatWriter::canAppend(int code) const {
    for (const WriteCapability& c : capabilities())
        if (c.code == code) return c.appends;
    return false;
}

void FormatWriter::checkCapability(int code, int bits) const {
    const auto caps = capabilities();
    const auto it = std::find_if(caps.begin(), caps.end(), [&](const WriteCapability& c) { return c.code == code; });
    if (it == caps.end())
        fail(Error::Kind::Unsupported, name(), "no writer for file-format code " + std::to_string(code));
    if (std::find(it->depths.begin(), it->depths.end(), bits) == it->depths.end())
        fail(Error::Kind::Unsupported, name(),
             "writer (code " + std::to_string(code) + ") accepts " + depthList(it->depths) + " bits, got " +
                 std::to_string(bits));
}

std::vector<std::uint8_t> FormatWriter::write(const Image& page, const WriteOptions& opt) const {
    checkCapability(opt.code, opt.bits);
    return encode(page, opt);
}

void FormatWriter::writeTo(int fd, const Image& page, const WriteOptions& opt) const {
    checkCapability(opt.code, opt.bits);
    encodeTo(fd, page, opt);
}

void FormatWriter::encodeTo(int fd, const Image& page, const WriteOptions& opt) const {
    fileio::writeAll(fd, encode(page, opt), opt.path);
}

std::vector<std::uint8_t> FormatWriter::append(std::span<const std::uint8_t>, const Image&,
                                               const WriteOptions& opt) const {
    fail(name(),
         "a file of code " + std::to_string(opt.code) + " holds one page; a further page cannot be added to it");
}

Registry& Registry::instance() {
    static Registry* registry = [] {
        auto* r = new Registry;
        registerBuiltinCodecs(*r);
        return r;
    }();
    return *registry;
}

void Registry::addReader(std::unique_ptr<FormatReader> reader) { readers_.push_back(std::move(reader)); }
void Registry::addWriter(std::unique_ptr<FormatWriter> writer) { writers_.push_back(std::move(writer)); }

std::string lowerExtension(const std::string& path) {
    std::string ext = std::filesystem::path(path).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext;
}

const FormatReader* Registry::findReader(std::span<const std::uint8_t> data, const std::string& path) const {
    const auto head = data.first(std::min(data.size(), kSniffBytes));
    const std::string ext = lowerExtension(path);
    const FormatReader* best = nullptr;
    int bestScore = 0;
    for (const auto& r : readers_) {
        const Sniff s = r->sniff(head);
        if (s == Sniff::No) continue;
        const auto exts = r->extensions();
        const bool extMatch = std::find(exts.begin(), exts.end(), ext) != exts.end();
        if (s == Sniff::Weak && !extMatch) continue;
        const int score = (s == Sniff::Strong ? 4 : 1) + (extMatch ? 2 : 0);
        if (score > bestScore) {
            bestScore = score;
            best = r.get();
        }
    }
    return best;
}

const FormatReader* Registry::reader(std::string_view name) const {
    for (const auto& r : readers_)
        if (r->name() == name) return r.get();
    return nullptr;
}

const FormatWriter* Registry::findWriter(int code) const {
    for (const auto& w : writers_) {
        const auto c = w->codes();
        if (std::find(c.begin(), c.end(), code) != c.end()) return w.get();
    }
    return nullptr;
}

}  // namespace rastel::imaging
