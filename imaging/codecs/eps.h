#pragma once

// Encapsulated PostScript: the parts of the reader that work without running
// Ghostscript (the DOS binary header, the DSC comments, the PPM the renderer
// writes), exposed for the tests and the fuzz target, and the rendering step.

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "imaging/image.h"

namespace rastel::imaging::eps {

struct Box {
    double llx = 0, lly = 0, urx = 0, ury = 0;
    double width() const { return urx - llx; }
    double height() const { return ury - lly; }
};

// What the reader learns from a file before rendering it.
struct Info {
    std::span<const std::uint8_t> postscript;  // the PostScript section (the whole file unless DOS binary)
    bool dosBinary = false;                    // C5 D0 D3 C6 header with preview sections
    bool epsf = false;                         // first line names EPSF-x.y
    std::optional<Box> boundingBox;            // %%BoundingBox, from the trailer when (atend)
    std::optional<Box> hiResBoundingBox;       // %%HiResBoundingBox
    int languageLevel = 0;                     // %%LanguageLevel, 0 when absent
    std::string creator, title;
};

// Parses the DOS binary header (when present) and the DSC comments. Throws
// Error("EPS: ...") when the sections or the bounding box are unusable.
Info parse(std::span<const std::uint8_t> data);

// The whole pixels a box covers at `dpi`, rounded outward so that nothing of
// a fractional box is cut: the lower-left corner in points and the size in
// pixels, checked against the pixel limit. Throws Error when it is empty or
// too large.
struct PixelFrame {
    double x = 0, y = 0;
    int width = 0, height = 0;
};
PixelFrame pixelFrame(const Box& box, double dpi);
void renderedSize(const Box& box, double dpi, int& width, int& height);

// The box a page is rendered with: %%HiResBoundingBox when it agrees with
// %%BoundingBox to within a point, otherwise %%BoundingBox.
const Box& renderBox(const Info& info);

// The first image of a binary PPM (P6, maxval 1..255; P5 gives Gray8). P6
// images whose pixels are all gray come back as Gray8.
Image parsePpm(std::span<const std::uint8_t> data);

struct RenderOptions {
    std::string ghostscript;     // executable; "" = look for gs in /usr/bin:/bin:/usr/local/bin
    double dpi = 72;             // rendering resolution
    double timeoutSeconds = 30;  // wall-clock limit of the Ghostscript process
};

// Renders the PostScript section of an EPS file through a separate Ghostscript
// process. Throws Error on any failure, including a missing Ghostscript.
Image render(std::span<const std::uint8_t> data, const RenderOptions& opt);

// Where gs is installed, or "".
std::string findGhostscript();

}  // namespace rastel::imaging::eps
