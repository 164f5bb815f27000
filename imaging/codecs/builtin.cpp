#include "imaging/registry.h"

namespace rastel::imaging {

void registerPngCodec(Registry& registry);

void registerBuiltinCodecs(Registry& registry) {
    registerPngCodec(registry);
}

}  // namespace rastel::imaging
