#include "imaging/registry.h"

namespace rastel::imaging {

void registerBmpCodec(Registry&);
void registerIcoCodec(Registry&);

void registerBuiltinCodecs(Registry& registry) {
    (void)registry;
    registerBmpCodec(registry);
    registerIcoCodec(registry);
}

}  // namespace rastel::imaging
