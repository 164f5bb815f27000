#include "imaging/ops/mirror.h"

#include <algorithm>
#include <cstring>

namespace rastel::imaging {

namespace {

// Swaps pixels of N bytes from both ends of each row towards the middle. N is
// a compile-time constant so the byte copies become plain loads and stores.
template <int N>
void mirrorRows(Image& img) {
    const int w = img.width();
    for (int y = 0; y < img.height(); ++y) {
        std::uint8_t* lo = img.row(y);
        std::uint8_t* hi = lo + static_cast<std::size_t>(w - 1) * N;
        while (lo < hi) {
            std::uint8_t tmp[N];
            std::memcpy(tmp, lo, N);
            std::memcpy(lo, hi, N);
            std::memcpy(hi, tmp, N);
            lo += N;
            hi -= N;
        }
    }
}

}  // namespace

void mirrorInPlace(Image& img) {
    if (img.empty()) return;
    switch (bytesPerPixel(img.format())) {
    case 1:
        for (int y = 0; y < img.height(); ++y) std::reverse(img.row(y), img.row(y) + img.width());
        break;
    case 2: mirrorRows<2>(img); break;
    case 3: mirrorRows<3>(img); break;
    case 4: mirrorRows<4>(img); break;
    }
}

}  // namespace rastel::imaging
