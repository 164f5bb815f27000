#include "imaging/registry.h"

namespace rastel::imaging {

void registerEpsCodec(Registry& registry);
void registerGifCodec(Registry& registry);
void registerJpegCodec(Registry& registry);
void registerMacPaintCodec(Registry& registry);
void registerPictCodec(Registry& registry);
void registerPhotoCdCodec(Registry& registry);
void registerPngCodec(Registry& registry);
void registerPsdCodec(Registry& registry);
void registerTiffCodec(Registry& registry);
void registerUndocumentedFormats(Registry& registry);

void registerBuiltinCodecs(Registry& registry) {
    registerEpsCodec(registry);
    registerGifCodec(registry);
    registerJpegCodec(registry);
    registerMacPaintCodec(registry);
    registerPictCodec(registry);
    registerPhotoCdCodec(registry);
    registerPngCodec(registry);
    registerPsdCodec(registry);
    registerTiffCodec(registry);
    registerUndocumentedFormats(registry);
}

}  // namespace rastel::imaging
