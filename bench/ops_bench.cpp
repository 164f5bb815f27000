// Pixel operations on a 24-megapixel RGB picture, and ImageMagick doing the
// same jobs on the same picture for comparison.
//
//   cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release
//   cmake --build build-release -j2 --target ops_bench
//   build-release/bin/ops_bench
//
// The ImageMagick rows include reading and writing a 72 MB PPM; the
// "ImageMagick/copy" row (convert in.ppm out.ppm) is that baseline, to be
// subtracted. ImageMagick runs with one thread (-limit thread 1) like the
// operations here.

#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <unistd.h>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "imaging/convert.h"
#include "imaging/image.h"
#include "imaging/ops/grayscale.h"
#include "imaging/ops/mirror.h"
#include "imaging/ops/reduce.h"
#include "imaging/ops/rotate.h"

using namespace rastel::imaging;

namespace {

constexpr int kWidth = 6000, kHeight = 4000;

// Photo-like content: a sky-to-ground colour gradient, soft shapes, fine
// texture and sensor-like noise, so palettes and dithering see realistic
// colour spread. Deterministic.
Image makePhoto() {
    Image img(kWidth, kHeight, PixelFormat::Rgb24);
    std::uint32_t seed = 12345;
    for (int y = 0; y < kHeight; ++y) {
        std::uint8_t* p = img.row(y);
        const double fy = static_cast<double>(y) / kHeight;
        for (int x = 0; x < kWidth; ++x, p += 3) {
            const double fx = static_cast<double>(x) / kWidth;
            double r = 60 + 150 * fy + 30 * std::sin(fx * 9.0);
            double g = 90 + 100 * (1 - fy) * fx + 25 * std::cos(fy * 13.0 + fx * 4.0);
            double b = 200 - 140 * fy + 20 * std::sin((fx + fy) * 21.0);
            // A few round objects.
            for (int k = 0; k < 5; ++k) {
                const double cx = 0.15 + 0.18 * k, cy = 0.35 + 0.1 * (k % 3), rad = 0.06 + 0.02 * k;
                const double d = std::hypot(fx - cx, (fy - cy) * 1.5);
                if (d < rad) {
                    const double shade = 1 - d / rad;
                    r = r * 0.4 + 220 * shade * ((k & 1) ? 1.0 : 0.3);
                    g = g * 0.4 + 180 * shade * ((k & 2) ? 1.0 : 0.5);
                    b = b * 0.4 + 160 * shade * ((k & 4) ? 1.0 : 0.4);
                }
            }
            seed = seed * 1664525u + 1013904223u;
            const double noise = static_cast<double>(seed >> 24) / 32.0 - 4.0;
            p[0] = static_cast<std::uint8_t>(std::clamp(r + noise, 0.0, 255.0));
            p[1] = static_cast<std::uint8_t>(std::clamp(g + noise, 0.0, 255.0));
            p[2] = static_cast<std::uint8_t>(std::clamp(b - noise, 0.0, 255.0));
        }
    }
    return img;
}

const Image& photo() {
    static const Image img = makePhoto();
    return img;
}

void BM_Rotate90(benchmark::State& state) {
    const Image& src = photo();
    for (auto _ : state) {
        Image r = rotate(src, 9000, true, {});
        benchmark::DoNotOptimize(r.data());
    }
}
BENCHMARK(BM_Rotate90)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Rotate180(benchmark::State& state) {
    const Image& src = photo();
    for (auto _ : state) {
        Image r = rotate(src, 18000, true, {});
        benchmark::DoNotOptimize(r.data());
    }
}
BENCHMARK(BM_Rotate180)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Rotate30Bilinear(benchmark::State& state) {
    const Image& src = photo();
    for (auto _ : state) {
        Image r = rotate(src, 3000, true, {255, 255, 255});
        benchmark::DoNotOptimize(r.data());
    }
}
BENCHMARK(BM_Rotate30Bilinear)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Mirror(benchmark::State& state) {
    Image img = photo();
    for (auto _ : state) {
        mirrorInPlace(img);
        benchmark::DoNotOptimize(img.data());
    }
}
BENCHMARK(BM_Mirror)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Grayscale(benchmark::State& state) {
    const Image& src = photo();
    for (auto _ : state) {
        Image g = convertToGrayscale(src);
        benchmark::DoNotOptimize(g.data());
    }
}
BENCHMARK(BM_Grayscale)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Reduce8FloydSteinberg(benchmark::State& state) {
    const Image& src = photo();
    for (auto _ : state) {
        Image r = reduceColors(src, 8, kDitherFloydSteinberg);
        benchmark::DoNotOptimize(r.data());
    }
}
BENCHMARK(BM_Reduce8FloydSteinberg)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_Reduce8NoDither(benchmark::State& state) {
    const Image& src = photo();
    for (auto _ : state) {
        Image r = reduceColors(src, 8, kDitherNone);
        benchmark::DoNotOptimize(r.data());
    }
}
BENCHMARK(BM_Reduce8NoDither)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// Argument: dithering code 0..8.
void BM_Reduce1(benchmark::State& state) {
    const Image& src = photo();
    const int code = static_cast<int>(state.range(0));
    for (auto _ : state) {
        Image r = reduceColors(src, 1, code);
        benchmark::DoNotOptimize(r.data());
    }
}
BENCHMARK(BM_Reduce1)->DenseRange(0, 8)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// The photo as Rgba32: opaque (argument 0) or with every alpha level across
// each row (argument 1), for the cost of showing transparency on white.
const Image& photoRgba(bool clear) {
    static const Image opaque = toRgba32(photo());
    if (!clear) return opaque;
    static const Image varied = [] {
        Image img = opaque;
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x) img.row(y)[4 * x + 3] = static_cast<std::uint8_t>(x + y);
        return img;
    }();
    return varied;
}

void BM_RgbaToRgb24(benchmark::State& state) {
    const Image& src = photoRgba(state.range(0) != 0);
    for (auto _ : state) {
        Image r = toRgb24(src);
        benchmark::DoNotOptimize(r.data());
    }
}
BENCHMARK(BM_RgbaToRgb24)->DenseRange(0, 1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Rotate30Rgba(benchmark::State& state) {
    const Image& src = photoRgba(state.range(0) != 0);
    for (auto _ : state) {
        Image r = rotate(src, 3000, true, {255, 255, 255});
        benchmark::DoNotOptimize(r.data());
    }
}
BENCHMARK(BM_Rotate30Rgba)->DenseRange(0, 1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// --- ImageMagick on the same picture -------------------------------------

struct ScratchDir {
    std::filesystem::path dir;
    ScratchDir() {
        dir = std::filesystem::temp_directory_path() / ("rastel-ops-bench-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

const std::filesystem::path& photoPpm() {
    static ScratchDir scratch;
    static const std::filesystem::path path = [] {
        const auto p = scratch.dir / "in.ppm";
        const Image& img = photo();
        std::FILE* f = std::fopen(p.c_str(), "wb");
        if (!f) return p;
        std::fprintf(f, "P6\n%d %d\n255\n", img.width(), img.height());
        std::fwrite(img.data(), 1, img.byteSize(), f);
        std::fclose(f);
        return p;
    }();
    return path;
}

void runConvert(benchmark::State& state, const std::string& args) {
    const auto in = photoPpm();
    const auto out = in.parent_path() / "out.ppm";
    const std::string cmd =
        "convert -limit thread 1 '" + in.string() + "' " + args + " '" + out.string() + "' 2>/dev/null";
    // The machine may be shared, so the CPU time of the convert processes is
    // reported too (counter child_cpu_ms, per run) next to the wall time.
    auto childCpuMs = [] {
        rusage u{};
        getrusage(RUSAGE_CHILDREN, &u);
        return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
    };
    const double before = childCpuMs();
    for (auto _ : state) {
        if (std::system(cmd.c_str()) != 0) {
            state.SkipWithError("convert failed (ImageMagick missing?)");
            return;
        }
    }
    state.counters["child_cpu_ms"] = (childCpuMs() - before) / static_cast<double>(state.iterations());
}

void BM_ImageMagick_copy(benchmark::State& s) { runConvert(s, ""); }
void BM_ImageMagick_rotate90(benchmark::State& s) { runConvert(s, "-rotate 90"); }
void BM_ImageMagick_flop(benchmark::State& s) { runConvert(s, "-flop"); }
void BM_ImageMagick_gray(benchmark::State& s) { runConvert(s, "-colorspace Gray"); }
void BM_ImageMagick_colors256FS(benchmark::State& s) { runConvert(s, "-dither FloydSteinberg -colors 256"); }
BENCHMARK(BM_ImageMagick_copy)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);
BENCHMARK(BM_ImageMagick_rotate90)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);
BENCHMARK(BM_ImageMagick_flop)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);
BENCHMARK(BM_ImageMagick_gray)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);
BENCHMARK(BM_ImageMagick_colors256FS)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
