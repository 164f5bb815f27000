#include "imaging/registry.h"

namespace rastel::imaging {

void registerJpegCodec(Registry& registry);
void registerUndocumentedFormats(Registry& registry);

void registerBuiltinCodecs(Registry& registry) {
    registerJpegCodec(registry);
    registerUndocumentedFormats(registry);
}

}  // namespace rastel::imaging
