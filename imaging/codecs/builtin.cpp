#include "imaging/registry.h"

namespace rastel::imaging {

void registerBmpCodec(Registry& registry);
void registerCalsCodec(Registry& registry);
void registerFaxCodec(Registry& registry);
void registerGifCodec(Registry& registry);
void registerIcoCodec(Registry& registry);
void registerIocaCodec(Registry& registry);
void registerJpegCodec(Registry& registry);
void registerMacPaintCodec(Registry& registry);
void registerPictCodec(Registry& registry);
void registerPngCodec(Registry& registry);
void registerPsdCodec(Registry& registry);
void registerTiffCodec(Registry& registry);
void registerUndocumentedFormats(Registry& registry);

void registerBuiltinCodecs(Registry& registry) {
    registerBmpCodec(registry);
    registerCalsCodec(registry);
    registerFaxCodec(registry);
    registerGifCodec(registry);
    registerIcoCodec(registry);
    registerIocaCodec(registry);
    registerJpegCodec(registry);
    registerMacPaintCodec(registry);
    registerPictCodec(registry);
    registerPngCodec(registry);
    registerPsdCodec(registry);
    registerTiffCodec(registry);
    registerUndocumentedFormats(registry);
}

}  // namespace rastel::imaging
