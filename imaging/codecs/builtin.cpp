#include "imaging/registry.h"

namespace rastel::imaging {

void registerMacPaintCodec(Registry& registry);
void registerPictCodec(Registry& registry);
void registerPsdCodec(Registry& registry);

void registerBuiltinCodecs(Registry& registry) {
    registerMacPaintCodec(registry);
    registerPictCodec(registry);
    registerPsdCodec(registry);
}

}  // namespace rastel::imaging
