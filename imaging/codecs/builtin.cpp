#include "imaging/registry.h"

namespace rastel::imaging {

void registerBmpCodec(Registry& registry);
void registerCalsCodec(Registry& registry);
void registerEpsCodec(Registry& registry);
void registerFaxCodec(Registry& registry);
void registerFlashPixCodec(Registry& registry);
void registerGemCodec(Registry& registry);
void registerGifCodec(Registry& registry);
void registerIcoCodec(Registry& registry);
void registerIocaCodec(Registry& registry);
void registerJpegCodec(Registry& registry);
void registerMacPaintCodec(Registry& registry);
void registerMspCodec(Registry& registry);
void registerPcxCodec(Registry& registry);
void registerPhotoCdCodec(Registry& registry);
void registerPictCodec(Registry& registry);
void registerPngCodec(Registry& registry);
void registerPsdCodec(Registry& registry);
void registerSunRasterCodec(Registry& registry);
void registerTgaCodec(Registry& registry);
void registerTiffCodec(Registry& registry);
void registerUndocumentedFormats(Registry& registry);
void registerWmfCodec(Registry& registry);
void registerWpgCodec(Registry& registry);

void registerBuiltinCodecs(Registry& registry) {
    registerBmpCodec(registry);
    registerCalsCodec(registry);
    registerEpsCodec(registry);
    registerFaxCodec(registry);
    registerFlashPixCodec(registry);
    registerGemCodec(registry);
    registerGifCodec(registry);
    registerIcoCodec(registry);
    registerIocaCodec(registry);
    registerJpegCodec(registry);
    registerMacPaintCodec(registry);
    registerMspCodec(registry);
    registerPcxCodec(registry);
    registerPhotoCdCodec(registry);
    registerPictCodec(registry);
    registerPngCodec(registry);
    registerPsdCodec(registry);
    registerSunRasterCodec(registry);
    registerTgaCodec(registry);
    registerTiffCodec(registry);
    registerUndocumentedFormats(registry);
    registerWmfCodec(registry);
    registerWpgCodec(registry);
}

}  // namespace rastel::imaging
