#include "imaging/registry.h"

namespace rastel::imaging {

void registerGifCodec(Registry& registry);
void registerJpegCodec(Registry& registry);
void registerPngCodec(Registry& registry);
void registerTiffCodec(Registry& registry);
void registerUndocumentedFormats(Registry& registry);

void registerBuiltinCodecs(Registry& registry) {
    registerGifCodec(registry);
    registerJpegCodec(registry);
    registerPngCodec(registry);
    registerTiffCodec(registry);
    registerUndocumentedFormats(registry);
}

}  // namespace rastel::imaging
