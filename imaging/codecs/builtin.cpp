#include "imaging/registry.h"

namespace rastel::imaging {

void registerTiffCodec(Registry& registry);

void registerBuiltinCodecs(Registry& registry) {
    registerTiffCodec(registry);
}

}  // namespace rastel::imaging
