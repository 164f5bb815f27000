// Output formats whose contents have no public description: Microsoft FAX
// (AWD), WinFax (WFX) and CMP. Rather than invent a stand-in under their names,
// saving to them fails with an error that names the format and the reason.
// Inputs with these extensions are still read when their content is a format
// the engine knows (the readers go by content, not by extension).

#include <memory>

#include "imaging/error.h"
#include "imaging/registry.h"

namespace rastel::imaging {

namespace {

struct Undocumented {
    int code;
    const char* name;
    std::vector<int> depths;
};

const std::vector<Undocumented>& table() {
    static const std::vector<Undocumented> t{
        {99, "Microsoft FAX (AWD)", {1}},         {69, "WinFax CCITT-G3 1D (WFX)", {1}},
        {70, "WinFax CCITT-G4 (WFX)", {1}},       {5, "CMP compression (CMP)", {8, 24}},
        {26, "CMP 1-bit compression (CMP)", {1}},
    };
    return t;
}

class UndocumentedWriter : public FormatWriter {
public:
    std::string name() const override { return "undocumented"; }
    // None of these can take a further page: the first save has already failed.
    std::vector<WriteCapability> capabilities() const override {
        std::vector<WriteCapability> c;
        for (const auto& u : table()) c.push_back({u.code, u.depths, false});
        return c;
    }
    std::vector<std::uint8_t> encode(const Image&, const WriteOptions& opt) const override {
        for (const auto& u : table())
            if (u.code == opt.code)
                fail(u.name, "this format cannot be written: its file structure has no public description");
        fail("save", "unknown file-format code " + std::to_string(opt.code));
    }
};

}  // namespace

void registerUndocumentedFormats(Registry& registry) { registry.addWriter(std::make_unique<UndocumentedWriter>()); }

}  // namespace rastel::imaging
