#include "imaging/registry.h"

namespace rastel::imaging {

void registerJpegCodec(Registry& registry);

void registerBuiltinCodecs(Registry& registry) {
    registerJpegCodec(registry);
}

}  // namespace rastel::imaging
