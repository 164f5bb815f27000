#pragma once

#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "imaging/codec.h"

namespace rastel::imaging {

// How much of a file's head choosing its reader looks at.
inline constexpr std::size_t kSniffBytes = 4096;

// The set of readers and writers the engine knows. The built-in codecs are
// registered on first use of instance().
class Registry {
public:
    static Registry& instance();

    void addReader(std::unique_ptr<FormatReader> reader);
    void addWriter(std::unique_ptr<FormatWriter> writer);
    // A format family's reader and writer.
    template <typename Reader, typename Writer>
    void addCodec() {
        addReader(std::make_unique<Reader>());
        addWriter(std::make_unique<Writer>());
    }

    // The reader for a file: a signature match wins; the extension of `path`
    // only breaks ties and admits readers whose formats have no signature.
    // Returns nullptr when nothing recognises the data. Only the first
    // kSniffBytes of `data` are looked at.
    const FormatReader* findReader(std::span<const std::uint8_t> data, const std::string& path) const;
    const FormatWriter* findWriter(int code) const;
    // The reader registered under `name` (FormatReader::name()), or nullptr.
    const FormatReader* reader(std::string_view name) const;

    const std::vector<std::unique_ptr<FormatReader>>& readers() const { return readers_; }
    const std::vector<std::unique_ptr<FormatWriter>>& writers() const { return writers_; }

private:
    std::vector<std::unique_ptr<FormatReader>> readers_;
    std::vector<std::unique_ptr<FormatWriter>> writers_;
};

// Defined in codecs/builtin.cpp: registers every codec of the engine.
void registerBuiltinCodecs(Registry& registry);

// Lower-case extension of a path with its dot ("" when there is none).
std::string lowerExtension(const std::string& path);

}  // namespace rastel::imaging
