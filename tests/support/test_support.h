#pragma once

// Small helpers the test suites share: scratch folders, running the
// independent tools the interop tests compare against, whole-file I/O,
// sample files and leaving generated files as fuzz seeds.
//
// Skip policy: a test that needs a tool or the shared sample folder and
// finds it missing is skipped with a reason; with RASTEL_CI=1 (set by CI)
// the same test fails instead, so a broken machine cannot pass quietly.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "imaging/codec.h"
#include "imaging/codecs/common/byte_io.h"
#include "imaging/convert.h"
#include "imaging/registry.h"

namespace rastel::test {

using Bytes = std::vector<std::uint8_t>;

// Whether a missing tool or sample folder fails a test instead of skipping it.
inline bool strictEnvironment() {
    const char* v = std::getenv("RASTEL_CI");
    return v && std::string(v) == "1";
}

// A fresh folder under the system temp folder, removed with its contents.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "rastel-test") {
        static std::atomic<int> counter{0};
        path = std::filesystem::temp_directory_path() /
               (prefix + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        std::filesystem::remove_all(path);
        std::filesystem::create_directories(path);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string operator/(const std::string& name) const { return (path / name).string(); }
    std::string file(const std::string& name) const { return (path / name).string(); }

    std::filesystem::path path;
};

// Caps the size of files this process writes while it lives, as a full disk
// would (it binds root too); writes past the cap fail with EFBIG instead of
// raising SIGXFSZ.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &old_);
        oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = old_;
        small.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &small);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &old_);
        std::signal(SIGXFSZ, oldHandler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit old_{};
    void (*oldHandler_)(int) = nullptr;
};

// Runs a shell command and returns its standard output; `status` gets the exit
// status (-1 when it did not exit normally).
inline std::string runCommand(const std::string& cmd, int* status = nullptr) {
    std::string out;
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) {
        if (status) *status = -1;
        return out;
    }
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    const int rc = ::pclose(p);
    if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

// Standard output of a shell command, its standard error discarded.
inline std::string capture(const std::string& cmd) { return runCommand(cmd + " 2>/dev/null"); }

// Standard output of a shell command as bytes, its standard error discarded;
// `ok` tells whether it exited with 0.
inline Bytes captureBytes(const std::string& cmd, bool* ok = nullptr) {
    int status = 0;
    const std::string out = runCommand("(" + cmd + ") 2>/dev/null", &status);
    if (ok) *ok = status == 0;
    return Bytes(out.begin(), out.end());
}

// Standard output of a shell command (standard error discarded) when it exits
// with 0, otherwise nothing.
inline std::optional<Bytes> output(const std::string& cmd) {
    bool ok = false;
    Bytes out = captureBytes(cmd, &ok);
    if (!ok) return std::nullopt;
    return out;
}

// Runs a shell command with its output discarded; true when it exits with 0.
inline bool runQuiet(const std::string& cmd) { return std::system(("(" + cmd + ") >/dev/null 2>&1").c_str()) == 0; }

// Sends what the process writes to standard error into a temporary file while
// it lives, or until finish() returns the text. The file is named on standard
// output first: should the code under test crash, its report stays there.
class StderrCapture {
public:
    StderrCapture() {
        std::fflush(stderr);
        char name[] = "/tmp/rastel-stderr-XXXXXX";
        fd_ = ::mkstemp(name);
        path_ = name;
        std::cout << "[ capture  ] standard error goes to " << path_ << std::endl;
        saved_ = ::dup(2);
        ::dup2(fd_, 2);
    }
    ~StderrCapture() {
        restore();
        std::remove(path_.c_str());
    }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    std::string finish() {
        restore();
        std::ifstream f(path_);
        return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
    }

private:
    void restore() {
        if (saved_ < 0) return;
        std::fflush(stderr);
        ::dup2(saved_, 2);
        ::close(saved_);
        ::close(fd_);
        saved_ = -1;
    }

    std::string path_;
    int fd_ = -1;
    int saved_ = -1;
};

// Runs `body` with standard error captured; returns what was printed there.
template <class F>
std::string capturedStderr(F body) {
    StderrCapture capture;
    body();
    return capture.finish();
}

// Whether a program of that name is on the PATH.
inline bool haveTool(const std::string& tool) {
    return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

// The first of `tools` that is not on the PATH, or "" when all are.
inline std::string missingTool(std::initializer_list<const char*> tools) {
    for (const char* t : tools)
        if (!haveTool(t)) return t;
    return "";
}

// The shared folder of real-world sample files (RASTEL_CORPUS_DIR in the
// environment overrides where the build expects it).
inline std::filesystem::path corpusDir() {
    const char* env = std::getenv("RASTEL_CORPUS_DIR");
    return env && *env ? std::filesystem::path(env) : std::filesystem::path(RASTEL_CORPUS_DIR);
}

// The regular files of a folder of the sample corpus, sorted by name; empty
// when the folder is missing.
inline std::vector<std::string> corpusFiles(const std::string& folder) {
    std::vector<std::string> out;
    const std::filesystem::path dir = corpusDir() / folder;
    std::error_code ec;
    if (!std::filesystem::is_directory(dir, ec)) return out;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec))
        if (e.is_regular_file()) out.push_back(e.path().string());
    std::sort(out.begin(), out.end());
    return out;
}

// A small real-world file kept in the repository under tests/data/.
inline std::string fixture(const std::string& name) { return std::string(RASTEL_SOURCE_DIR) + "/tests/data/" + name; }

// A shell word for `s` (single-quoted).
inline std::string shellQuote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

inline std::vector<std::uint8_t> readBytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

inline void writeBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Values at offset `at` of a file in memory, in either byte order; they throw
// std::out_of_range where the file is too short.
inline const std::uint8_t* bytesAt(const Bytes& b, std::size_t at, std::size_t count) {
    (void)b.at(at + count - 1);
    return b.data() + at;
}
inline std::uint8_t* bytesAt(Bytes& b, std::size_t at, std::size_t count) {
    (void)b.at(at + count - 1);
    return b.data() + at;
}
inline std::uint16_t getU16le(const Bytes& b, std::size_t at) { return imaging::loadU16le(bytesAt(b, at, 2)); }
inline std::uint16_t getU16be(const Bytes& b, std::size_t at) { return imaging::loadU16be(bytesAt(b, at, 2)); }
inline std::uint32_t getU32le(const Bytes& b, std::size_t at) { return imaging::loadU32le(bytesAt(b, at, 4)); }
inline std::uint32_t getU32be(const Bytes& b, std::size_t at) { return imaging::loadU32be(bytesAt(b, at, 4)); }
inline void setU32le(Bytes& b, std::size_t at, std::uint32_t v) { imaging::storeU32le(bytesAt(b, at, 4), v); }
inline void setU32be(Bytes& b, std::size_t at, std::uint32_t v) { imaging::storeU32be(bytesAt(b, at, 4), v); }

// Leaves a small generated file in build/fuzz-seeds/<target>, where the fuzz
// seed script picks it up.
inline void keepFuzzSeed(const std::string& target, const std::string& name, const std::vector<std::uint8_t>& bytes) {
    if (bytes.size() >= 65536) return;
    const std::filesystem::path dir = std::filesystem::path(RASTEL_BIN_DIR).parent_path() / "fuzz-seeds" / target;
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (!ec) writeBytes((dir / name).string(), bytes);
}

// Parses binary PBM/PGM/PPM (P4, P5, P6, maxval up to 255) into Rgb24, as the
// netpbm tools and ImageMagick write them; throws on anything else.
inline imaging::Image parsePnm(const std::vector<std::uint8_t>& d) {
    std::size_t pos = 0;
    auto token = [&]() {
        std::string t;
        while (pos < d.size()) {
            if (d[pos] == '#') {
                while (pos < d.size() && d[pos] != '\n') ++pos;
            } else if (std::isspace(d[pos])) {
                ++pos;
            } else {
                break;
            }
        }
        while (pos < d.size() && !std::isspace(d[pos])) t += static_cast<char>(d[pos++]);
        return t;
    };
    const std::string magic = token();
    const int w = std::stoi(token());
    const int h = std::stoi(token());
    const int maxval = magic == "P4" ? 1 : std::stoi(token());
    ++pos;
    if (maxval < 1 || maxval > 255) throw std::runtime_error("unexpected maxval");
    // 5-bit samples are widened by bit replication, as the engine does.
    const auto scale = [maxval](std::uint8_t v) {
        return static_cast<std::uint8_t>(maxval == 31 ? (v << 3) | (v >> 2) : (v * 255 + maxval / 2) / maxval);
    };
    imaging::Image img(w, h, imaging::PixelFormat::Rgb24);
    const std::size_t pbmRow = (static_cast<std::size_t>(w) + 7) / 8;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            std::uint8_t* px = img.row(y) + 3 * x;
            if (magic == "P4") {
                const std::uint8_t b =
                    d.at(pos + static_cast<std::size_t>(y) * pbmRow + static_cast<std::size_t>(x) / 8);
                px[0] = px[1] = px[2] = ((b >> (7 - x % 8)) & 1) ? 0 : 255;
            } else if (magic == "P5") {
                px[0] = px[1] = px[2] = scale(d.at(pos + static_cast<std::size_t>(y) * static_cast<std::size_t>(w) +
                                                   static_cast<std::size_t>(x)));
            } else if (magic == "P6") {
                for (int c = 0; c < 3; ++c)
                    px[c] = scale(d.at(
                        pos +
                        3 * (static_cast<std::size_t>(y) * static_cast<std::size_t>(w) + static_cast<std::size_t>(x)) +
                        static_cast<std::size_t>(c)));
            } else {
                throw std::runtime_error("not a binary PNM: " + magic);
            }
        }
    return img;
}

// A binary netpbm file of `img` for the tools to read: PGM for Gray8, PAM
// with an alpha channel for Rgba32, PPM (through Rgb24) for any other layout.
inline std::vector<std::uint8_t> pnmBytes(const imaging::Image& img) {
    const std::string size = std::to_string(img.width()) + " " + std::to_string(img.height());
    std::string head;
    imaging::Image samples;
    switch (img.format()) {
    case imaging::PixelFormat::Gray8:
        head = "P5\n" + size + "\n255\n";
        samples = img;
        break;
    case imaging::PixelFormat::Rgba32:
        head = "P7\nWIDTH " + std::to_string(img.width()) + "\nHEIGHT " + std::to_string(img.height()) +
               "\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n";
        samples = img;
        break;
    default:
        head = "P6\n" + size + "\n255\n";
        samples = imaging::toRgb24(img);
        break;
    }
    std::vector<std::uint8_t> out(head.begin(), head.end());
    out.insert(out.end(), samples.data(), samples.data() + samples.byteSize());
    return out;
}

inline void writePnm(const std::string& path, const imaging::Image& img) { writeBytes(path, pnmBytes(img)); }

// The registered reader of that name; throws when there is none.
inline const imaging::FormatReader& readerNamed(const std::string& name) {
    if (const imaging::FormatReader* r = imaging::Registry::instance().reader(name)) return *r;
    throw std::runtime_error("no " + name + " reader is registered");
}

}  // namespace rastel::test

// Ends the test for a missing tool or sample: skipped with the reason, or
// failed under RASTEL_CI=1.
#define RASTEL_MISSING(why)                                     \
    do {                                                        \
        if (::rastel::test::strictEnvironment()) FAIL() << why; \
        GTEST_SKIP() << why;                                    \
    } while (0)

// Ends the test as above unless every named tool is on the PATH.
#define RASTEL_REQUIRE_TOOLS(...)                                                \
    do {                                                                         \
        const std::string missing_ = ::rastel::test::missingTool({__VA_ARGS__}); \
        if (!missing_.empty()) RASTEL_MISSING(missing_ << " is missing");        \
    } while (0)

// The files of a sample-corpus folder into `var`; ends the test as above
// when there are none.
#define RASTEL_CORPUS_FILES(var, folder)                                      \
    const std::vector<std::string> var = ::rastel::test::corpusFiles(folder); \
    if (var.empty()) RASTEL_MISSING("no sample files in " << (::rastel::test::corpusDir() / (folder)).string())
