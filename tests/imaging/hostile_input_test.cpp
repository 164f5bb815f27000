// Every reader against cut and damaged copies of files our writers make: each
// copy must decode or be refused with an Error, never crash, hang or throw
// anything else. Under the sanitizers this also shows that no reader touches
// memory outside its input.

#include <gtest/gtest.h>

#include <cctype>
#include <set>
#include <string>
#include <vector>

#include "imaging/codec.h"
#include "imaging/error.h"
#include "imaging/registry.h"
#include "tests/support/codec_checks.h"
#include "tests/support/pictures.h"
#include "tests/support/test_support.h"

using namespace rastel::imaging;
using namespace rastel::test;

namespace {

// The reader that decodes an intact file: a signature match first, then a
// reader that only finds the header plausible.
const FormatReader* readerOf(const Bytes& file) {
    for (const Sniff strength : {Sniff::Strong, Sniff::Weak})
        for (const auto& r : Registry::instance().readers()) {
            if (r->sniff(std::span(file).first(std::min<std::size_t>(file.size(), 4096))) != strength) continue;
            try {
                if (!r->read(file, ReadContext{"intact"}).pages.empty()) return r.get();
            } catch (const Error&) {
            }
        }
    return nullptr;
}

// A file of every code and depth the writers offer (some codes cannot be
// written at all; they have no file here).
struct Sample {
    int code, bits;
    Bytes file;
};

std::vector<Sample> writtenSamples() {
    std::vector<Sample> out;
    const Image src = testPicture(37, 23, PixelFormat::Rgba32);
    for (const auto& w : Registry::instance().writers())
        for (int code : w->codes())
            for (int bits : w->depths(code)) {
                try {
                    out.push_back({code, bits, w->write(src, WriteOptions{code, bits, 60, "x"})});
                } catch (const Error&) {
                }
            }
    return out;
}

// The fuzz target that covers a reader, for seeds.
std::string fuzzTarget(const std::string& reader) {
    if (reader == "SUN") return "fuzz_sunras";
    if (reader == "MacPict") return "fuzz_pict";
    std::string t = "fuzz_";
    for (char c : reader) t += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return t;
}

// Every prefix of a file and damaged copies of it decode or are refused with
// Error (whether a cut file is refused is each format's own test: several
// formats read files cut after their pixel data). Of the damaged copies some
// decode (damage in pixel data) and some are refused (damage in the header):
// a reader that refuses everything, or checks nothing, fails here.
TEST(HostileInput, EveryReaderSurvivesCutAndDamagedFiles) {
    std::set<std::string> readers;
    for (const Sample& s : writtenSamples()) {
        const FormatReader* r = readerOf(s.file);
        // EPS hands the file to Ghostscript; its own fuzz target covers the parsing.
        if (!r || r->name() == "EPS") continue;
        const std::string name = r->name();
        SCOPED_TRACE(name + ", code " + std::to_string(s.code) + ", " + std::to_string(s.bits) + " bits");
        readers.insert(name);
        for (std::size_t n = 0; n < s.file.size(); n += std::max<std::size_t>(1, s.file.size() / 97)) {
            try {
                (void)r->read(std::span(s.file).first(n), ReadContext{"cut"});
            } catch (const Error&) {
            }
        }
        const DamageOutcome o = damagedCopies(name, s.file);
        EXPECT_GT(o.refused, 0);
        EXPECT_GT(o.decoded, 0);
        keepFuzzSeed(fuzzTarget(name), std::to_string(s.code) + "-" + std::to_string(s.bits) + "bit", s.file);
    }
    EXPECT_GE(readers.size(), 15u);
}

}  // namespace
