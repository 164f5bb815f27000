#include "imaging/registry.h"

namespace rastel::imaging {

void registerJpegCodec(Registry& registry);
void registerUndocumentedFormats(Registry& registry);
void registerFaxCodec(Registry& registry);
void registerCalsCodec(Registry& registry);
void registerIocaCodec(Registry& registry);

void registerBuiltinCodecs(Registry& registry) {
    registerJpegCodec(registry);
    registerUndocumentedFormats(registry);
    registerFaxCodec(registry);
    registerCalsCodec(registry);
    registerIocaCodec(registry);
}

}  // namespace rastel::imaging
