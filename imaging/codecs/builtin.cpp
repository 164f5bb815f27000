#include "imaging/registry.h"

namespace rastel::imaging {

void registerFlashPixCodec(Registry& registry);
void registerGifCodec(Registry& registry);
void registerJpegCodec(Registry& registry);
void registerMacPaintCodec(Registry& registry);
void registerPictCodec(Registry& registry);
void registerPngCodec(Registry& registry);
void registerPsdCodec(Registry& registry);
void registerTiffCodec(Registry& registry);
void registerUndocumentedFormats(Registry& registry);

void registerBuiltinCodecs(Registry& registry) {
    registerFlashPixCodec(registry);
    registerGifCodec(registry);
    registerJpegCodec(registry);
    registerMacPaintCodec(registry);
    registerPictCodec(registry);
    registerPngCodec(registry);
    registerPsdCodec(registry);
    registerTiffCodec(registry);
    registerUndocumentedFormats(registry);
}

}  // namespace rastel::imaging
