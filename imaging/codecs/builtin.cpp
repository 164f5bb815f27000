#include "imaging/registry.h"

namespace rastel::imaging {

void registerPcxCodec(Registry&);
void registerTgaCodec(Registry&);
void registerSunRasterCodec(Registry&);
void registerMspCodec(Registry&);
void registerGemCodec(Registry&);
void registerWpgCodec(Registry&);

void registerBuiltinCodecs(Registry& registry) {
    registerPcxCodec(registry);
    registerTgaCodec(registry);
    registerSunRasterCodec(registry);
    registerMspCodec(registry);
    registerGemCodec(registry);
    registerWpgCodec(registry);
}

}  // namespace rastel::imaging
