// Runs fuzz targets without libFuzzer, in any build: `fuzz_replay TARGET
// PATH...` passes every file named, and every regular file below every folder
// named, once to that target's entry point. Missing paths are skipped, so
// optional seed folders can be named. A crash, an escaping exception or a
// sanitizer report ends the run; reaching the end means every input was
// handled. Each target's LLVMFuzzerTestOneInput is compiled under its own
// name (see fuzz/CMakeLists.txt), so one program holds them all.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/replay_targets.h"

namespace {

std::vector<std::filesystem::path> inputsBelow(const std::filesystem::path& root) {
    std::vector<std::filesystem::path> out;
    std::error_code ec;
    if (std::filesystem::is_regular_file(root, ec)) {
        out.push_back(root);
    } else if (std::filesystem::is_directory(root, ec)) {
        for (const auto& e : std::filesystem::recursive_directory_iterator(root, ec))
            if (e.is_regular_file()) out.push_back(e.path());
    }
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    const rastel::fuzz::ReplayTarget* target = nullptr;
    for (const auto& t : rastel::fuzz::kReplayTargets)
        if (argc > 1 && std::string(argv[1]) == t.name) target = &t;
    if (!target) {
        std::fprintf(stderr, "usage: %s TARGET PATH...; targets:", argv[0]);
        for (const auto& t : rastel::fuzz::kReplayTargets) std::fprintf(stderr, " %s", t.name);
        std::fprintf(stderr, "\n");
        return 2;
    }
    std::size_t count = 0;
    for (int i = 2; i < argc; ++i) {
        for (const auto& path : inputsBelow(argv[i])) {
            std::ifstream f(path, std::ios::binary);
            const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
            if (!f.eof() && f.fail()) {
                std::fprintf(stderr, "cannot read %s\n", path.c_str());
                return 2;
            }
            target->run(bytes.data(), bytes.size());
            ++count;
        }
    }
    std::printf("%s: %zu inputs handled\n", target->name, count);
    return 0;
}
