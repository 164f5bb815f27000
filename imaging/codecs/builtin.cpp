#include "imaging/registry.h"

namespace rastel::imaging {

void registerBuiltinCodecs(Registry& registry) {
    (void)registry;
}

}  // namespace rastel::imaging
