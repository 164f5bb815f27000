#include "imaging/registry.h"

namespace rastel::imaging {

void registerPngCodec(Registry& registry);
void registerGifCodec(Registry& registry);

void registerBuiltinCodecs(Registry& registry) {
    registerPngCodec(registry);
    registerGifCodec(registry);
}

}  // namespace rastel::imaging
