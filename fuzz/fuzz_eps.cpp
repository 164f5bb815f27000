// EPS fuzz target: everything the reader does before Ghostscript runs (the DOS
// binary header, the DSC comments, the bounding box against the pixel limit)
// and the PPM parser it reads the rendering back with. Ghostscript itself is
// not started per input.

#include <cstddef>
#include <cstdint>
#include <span>

#include "imaging/codecs/eps.h"
#include "imaging/error.h"
#include "imaging/image.h"
#include "imaging/registry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace rastel::imaging;
    static const FormatReader* reader = []() -> const FormatReader* {
        setPixelLimit(std::uint64_t{1} << 22);
        if (const FormatReader* r = Registry::instance().reader("EPS")) return r;
        __builtin_trap();
    }();
    const std::span<const std::uint8_t> bytes(data, size);
    (void)reader->sniff(bytes.first(size < 4096 ? size : 4096));
    try {
        (void)reader->pageCount(bytes, ReadContext{"fuzz-input"});
        const eps::Info info = eps::parse(bytes);
        int w = 0, h = 0;
        eps::renderedSize(*info.boundingBox, 72, w, h);
    } catch (const Error&) {
    }
    try {
        const Image img = eps::parsePpm(bytes);
        volatile std::uint8_t sink = 0;
        for (std::size_t i = 0; i < img.byteSize(); i += 61) sink = static_cast<std::uint8_t>(sink ^ img.data()[i]);
        (void)sink;
    } catch (const Error&) {
    }
    return 0;
}
