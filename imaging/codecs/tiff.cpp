#include "imaging/codecs/tiff_internal.h"
#include "imaging/registry.h"

namespace rastel::imaging {

void registerTiffCodec(Registry& registry) {
    registry.addReader(makeTiffReader());
    registry.addWriter(makeTiffWriter());
}

}  // namespace rastel::imaging
