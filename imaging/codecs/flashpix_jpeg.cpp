// JPEG tiles of FlashPix files through libjpeg.
//
// Errors jump back through the shared error manager (common/jpeg_glue.h);
// buffers are owned by the caller and the libjpeg objects by RAII holders in
// the calling frame.

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

// jpeglib.h first: jerror.h's message list depends on its configuration.
#include <jerror.h>
#include <jpeglib.h>

#include "imaging/codecs/common/jpeg_glue.h"
#include "imaging/codecs/flashpix_internal.h"
#include "imaging/error.h"

namespace rastel::imaging::flashpix {

namespace {

using namespace jpegglue;

// A tile is small and complete: any warning (corrupt entropy data, a missing
// end) means the tile would decode to something other than what was stored.
void onEmitMessage(j_common_ptr cinfo, int level) {
    if (level < 0) onErrorExit(cinfo);
}

struct Decoder {
    jpeg_decompress_struct cinfo;
    ErrorManager err;
    bool created;
};

using DecoderHolder = jpegglue::DecoderHolder<Decoder>;

bool decodeC(Decoder* d, const std::uint8_t* data, std::size_t size, int channels, bool ycc, std::uint8_t* out) {
    if (setjmp(d->err.jump)) return false;
    d->created = true;
    jpeg_create_decompress(&d->cinfo);
    jpeg_decompress_struct& c = d->cinfo;
    c.mem->max_memory_to_use = 16L * 1024 * 1024;
    jpeg_mem_src(&c, data, static_cast<unsigned long>(size));
    jpeg_read_header(&c, TRUE);
    if (c.image_width != kTile || c.image_height != kTile || c.num_components != channels) {
        std::snprintf(d->err.message, sizeof d->err.message, "JPEG tile is %ux%u with %d components", c.image_width,
                      c.image_height, c.num_components);
        return false;
    }
    if (channels == 1) {
        c.out_color_space = JCS_GRAYSCALE;
    } else {
        c.jpeg_color_space = ycc ? JCS_YCbCr : JCS_RGB;
        c.out_color_space = JCS_RGB;
    }
    c.dct_method = JDCT_ISLOW;
    jpeg_start_decompress(&c);
    if (c.output_width != kTile || c.output_height != kTile || c.output_components != channels) {
        std::snprintf(d->err.message, sizeof d->err.message, "decoder output does not match the tile");
        return false;
    }
    const std::size_t stride = static_cast<std::size_t>(kTile) * static_cast<std::size_t>(channels);
    while (c.output_scanline < c.output_height) {
        JSAMPROW row = out + c.output_scanline * stride;
        if (jpeg_read_scanlines(&c, &row, 1) != 1) {
            std::snprintf(d->err.message, sizeof d->err.message, "decoder stopped before the last row");
            return false;
        }
    }
    jpeg_finish_decompress(&c);
    return true;
}

bool encodeC(Encoder* e, const std::uint8_t* pixels, int channels, int quality, bool subsample) {
    if (setjmp(e->err.jump)) return false;
    e->created = true;
    jpeg_create_compress(&e->cinfo);
    jpeg_compress_struct& c = e->cinfo;
    jpeg_mem_dest(&c, &e->out, &e->outSize);
    c.image_width = kTile;
    c.image_height = kTile;
    c.input_components = channels;
    c.in_color_space = channels == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, quality, TRUE);
    c.dct_method = JDCT_ISLOW;
    c.write_JFIF_header = FALSE;
    if (channels == 3) {
        const int f = subsample ? 2 : 1;
        c.comp_info[0].h_samp_factor = c.comp_info[0].v_samp_factor = f;
        for (int i = 1; i < 3; ++i) c.comp_info[i].h_samp_factor = c.comp_info[i].v_samp_factor = 1;
    }
    jpeg_start_compress(&c, TRUE);
    const std::size_t stride = static_cast<std::size_t>(kTile) * static_cast<std::size_t>(channels);
    while (c.next_scanline < c.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(pixels + c.next_scanline * stride);
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    return true;
}

}  // namespace

std::vector<std::uint8_t> encodeJpegTile(const std::uint8_t* pixels, int channels, int quality, bool subsample) {
    EncoderHolder holder(onEmitMessage);
    Encoder* e = holder.get();
    if (!encodeC(e, pixels, channels, quality, subsample)) fail(kFormat, std::string("JPEG tile: ") + e->err.message);
    return std::vector<std::uint8_t>(e->out, e->out + e->outSize);
}

void decodeJpegTile(std::span<const std::uint8_t> stream, int channels, bool ycc, std::uint8_t* out) {
    if (stream.size() < 4 || stream[0] != 0xFF || stream[1] != 0xD8) fail(kFormat, "JPEG tile lacks its start marker");
    DecoderHolder holder(onEmitMessage);
    Decoder* d = holder.get();
    if (!decodeC(d, stream.data(), stream.size(), channels, ycc, out))
        fail(kFormat, std::string("JPEG tile: ") + d->err.message);
}

}  // namespace rastel::imaging::flashpix
