#pragma once

// Shared body of the reader fuzz targets: feeds the input to one registered
// reader (chosen by name) and accepts only a clean result or an imaging Error.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "imaging/codec.h"
#include "imaging/error.h"
#include "imaging/image.h"
#include "imaging/registry.h"

namespace rastel::fuzz {

// The registered reader of that name, with the pixel limit lowered to keep
// each run's memory small.
inline const imaging::FormatReader* fuzzedReader(const char* readerName) {
    imaging::setPixelLimit(std::uint64_t{1} << 22);
    if (const imaging::FormatReader* r = imaging::Registry::instance().reader(readerName)) return r;
    __builtin_trap();
}

// Touches every byte of a page so that a wrong size shows up under ASan.
inline void touch(const imaging::Image& page) {
    volatile std::uint8_t sink = 0;
    for (std::size_t i = 0; i < page.byteSize(); i += 61) sink = static_cast<std::uint8_t>(sink ^ page.data()[i]);
    (void)sink;
}

// With `paged`, the input is also opened for page-by-page decoding (a reader
// with its own open()) and its pages are decoded in order, then the first again.
inline int runReader(const imaging::FormatReader* reader, const std::uint8_t* data, std::size_t size,
                     bool paged = false) {
    using namespace rastel::imaging;
    const std::span<const std::uint8_t> bytes(data, size);
    try {
        (void)reader->sniff(bytes.first(size < 4096 ? size : 4096));
        (void)reader->pageCount(bytes, ReadContext{"fuzz-input"});
    } catch (const Error&) {
    }
    try {
        Document doc = reader->read(bytes, ReadContext{"fuzz-input"});
        for (const Image& page : doc.pages) touch(page);
    } catch (const Error&) {
    }
    if (!paged) return 0;
    try {
        const auto pages = reader->open(bytes, ReadContext{"fuzz-input"});
        const int n = pages->pageCount();
        for (int i = 0; i < n; ++i) {
            try {
                touch(pages->page(i));
            } catch (const Error&) {
            }
        }
        if (n > 1) touch(pages->page(0));
    } catch (const Error&) {
    }
    return 0;
}

}  // namespace rastel::fuzz

#define RASTEL_READER_FUZZER(NAME)                                                      \
    extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) { \
        static const auto* reader = rastel::fuzz::fuzzedReader(NAME);                   \
        return rastel::fuzz::runReader(reader, data, size);                             \
    }

// The same for a reader that decodes pages one at a time: the pages are also
// walked through open().
#define RASTEL_PAGED_READER_FUZZER(NAME)                                                \
    extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) { \
        static const auto* reader = rastel::fuzz::fuzzedReader(NAME);                   \
        return rastel::fuzz::runReader(reader, data, size, true);                       \
    }
