// Every file of the shared sample of real-world images (../shared/corpus, the
// files its SOURCES.tsv lists) is read and held to the outcome that
// tests/data/corpus-manifest.tsv records for it:
//   match    decoded, and the first page equals an independent decoder's
//            pixels: the digest of the first page must not change
//   close    decoded, within a few levels of an independent decoder
//   decoded  decoded, no independent decoder agrees or reads it
//   refused  refused with a message
// A decoded file must stay decoded at the same size. A refused file that now
// decodes is reported, not failed: scripts/corpus-manifest records it anew.
//
// With RASTEL_CORPUS_DUMP set to a folder, the test writes what it read there
// instead (outcomes.tsv and the first page of each decoded file as RGBA), for
// scripts/corpus-manifest to compare with the independent decoders.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "imaging/convert.h"
#include "imaging/engine.h"
#include "imaging/error.h"
#include "tests/support/test_support.h"

using namespace rastel::imaging;
namespace fs = std::filesystem;

namespace {

struct Outcome {
    bool decoded = false;
    int width = 0, height = 0;
    std::string digest;   // FNV-1a 64 of the first page as RGBA, transparent pixels as 0,0,0,0
    std::string message;  // the refusal without the leading file name
    std::string rgba;
};

std::string fnv1a(const std::string& bytes) {
    std::uint64_t h = 14695981039346656037ull;
    for (const unsigned char c : bytes) h = (h ^ c) * 1099511628211ull;
    char out[17];
    std::snprintf(out, sizeof out, "%016llx", static_cast<unsigned long long>(h));
    return out;
}

Outcome readFirstPage(const std::string& path) {
    Outcome o;
    try {
        const Document doc = loadDocument(path);
        const Image rgba = toRgba32(doc.pages.at(0));
        o.rgba.reserve(rgba.byteSize());
        for (int y = 0; y < rgba.height(); ++y) {
            const std::uint8_t* p = rgba.row(y);
            for (int x = 0; x < rgba.width(); ++x, p += 4)
                for (int k = 0; k < 4; ++k) o.rgba += static_cast<char>(p[3] ? p[k] : 0);
        }
        o.decoded = true;
        o.width = rgba.width();
        o.height = rgba.height();
        o.digest = fnv1a(o.rgba);
    } catch (const Error& e) {
        o.message = e.what();
        if (o.message.rfind(path + ": ", 0) == 0) o.message.erase(0, path.size() + 2);
    }
    return o;
}

std::vector<std::string> sampleFiles(const fs::path& root) {
    std::ifstream in(root / "SOURCES.tsv");
    std::vector<std::string> files;
    std::string line;
    std::getline(in, line);  // column names
    while (std::getline(in, line))
        if (const auto tab = line.find('\t'); tab != std::string::npos) files.push_back(line.substr(0, tab));
    return files;
}

struct Expected {
    std::string status;
    int width = 0, height = 0;
    std::string digest;
};

std::map<std::string, Expected> readManifest(const std::string& path) {
    std::ifstream in(path);
    std::map<std::string, Expected> rows;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream cols(line);
        std::string file;
        Expected e;
        std::getline(cols, file, '\t');
        std::getline(cols, e.status, '\t');
        cols >> e.width >> e.height >> e.digest;
        rows[file] = e;
    }
    return rows;
}

}  // namespace

TEST(Corpus, EveryFileKeepsItsRecordedOutcome) {
    const fs::path root = rastel::test::corpusDir();
    if (!fs::exists(root / "SOURCES.tsv")) GTEST_SKIP() << "no sample of real-world images at " << root;
    const std::vector<std::string> files = sampleFiles(root);
    ASSERT_FALSE(files.empty());

    if (const char* dump = std::getenv("RASTEL_CORPUS_DUMP")) {
        const fs::path out = dump;
        fs::create_directories(out);
        std::ofstream list(out / "outcomes.tsv");
        for (std::size_t i = 0; i < files.size(); ++i) {
            const Outcome o = readFirstPage((root / files[i]).string());
            list << files[i] << '\t' << (o.decoded ? "decoded" : "refused") << '\t' << o.width << '\t' << o.height
                 << '\t' << (o.decoded ? o.digest : "-") << '\t' << o.message << '\n';
            if (o.decoded) std::ofstream(out / (std::to_string(i) + ".rgba"), std::ios::binary) << o.rgba;
        }
        return;
    }

    const auto manifest = readManifest(RASTEL_SOURCE_DIR "/tests/data/corpus-manifest.tsv");
    ASSERT_FALSE(manifest.empty()) << "no manifest; scripts/corpus-manifest writes it";
    // A negative count printed as an unsigned number has 19 or 20 digits.
    const std::regex wrappedNumber("[0-9]{19}");
    int unlisted = 0;
    std::vector<std::string> nowDecoded;
    for (const std::string& file : files) {
        const Outcome o = readFirstPage((root / file).string());
        if (!o.decoded) {
            EXPECT_FALSE(o.message.empty()) << file << ": refused without a message";
            // libtiff's own texts are passed on as they are.
            if (o.message.rfind("TIFF:", 0) != 0) {
                EXPECT_FALSE(std::regex_search(o.message, wrappedNumber)) << file << ": " << o.message;
            }
        }
        const auto it = manifest.find(file);
        if (it == manifest.end()) {
            ++unlisted;
            continue;
        }
        const Expected& e = it->second;
        if (e.status == "refused") {
            if (o.decoded) nowDecoded.push_back(file);
            continue;
        }
        if (!o.decoded) {
            ADD_FAILURE() << file << ": recorded as " << e.status << ", now refused: " << o.message;
            continue;
        }
        EXPECT_EQ(std::pair(o.width, o.height), std::pair(e.width, e.height)) << file << " changed size";
        if (e.status == "match") {
            EXPECT_EQ(o.digest, e.digest) << file << " no longer matches the independent decoder";
        }
    }
    if (unlisted || !nowDecoded.empty()) {
        std::string note = std::to_string(unlisted) + " files not in the manifest; now decoded, recorded as refused:";
        for (const auto& f : nowDecoded) note += " " + f;
        std::cout << note << "\n(scripts/corpus-manifest records them)\n";
    }
}
