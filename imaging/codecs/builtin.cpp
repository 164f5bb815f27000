#include "imaging/registry.h"

namespace rastel::imaging {

void registerUndocumentedFormats(Registry& registry);

void registerBuiltinCodecs(Registry& registry) {
    registerUndocumentedFormats(registry);
}

}  // namespace rastel::imaging
