// The settings catalogue, the engine's writers and the batch's multi-page codes
// describe the same formats: a sub-format the dialog offers can be written at
// every depth it offers, and an output the batch fills page by page can take
// further pages.

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "conversion/batch_conversion.h"
#include "imaging/registry.h"
#include "settings_model/format_catalogue.h"

using namespace rastel;

TEST(FormatCapabilities, CatalogueWritersAndMultiPageCodesAgree) {
    const auto& registry = imaging::Registry::instance();
    std::set<int> catalogued;
    for (const FormatFamily& family : FormatCatalogue()) {
        for (const SubFormat& sub : family.SubFormats) {
            SCOPED_TRACE(family.Extension + " code " + std::to_string(sub.Code) + " " + sub.DisplayName);
            catalogued.insert(sub.Code);
            const imaging::FormatWriter* w = registry.findWriter(sub.Code);
            ASSERT_NE(w, nullptr);
            const std::vector<int> offered(sub.Depths.begin(), sub.Depths.end());
            EXPECT_EQ(w->depths(sub.Code), offered);
            // Multi-page codes whose writer cannot add a page: FlashPix keeps one
            // picture per file, and AWD/WFX refuse their first page already.
            const bool exception = std::set<int>{80, 81, 83, 99, 69, 70}.count(sub.Code) != 0;
            if (!exception)
                EXPECT_EQ(w->canAppend(sub.Code), IsMultiPageCode(sub.Code));
            else
                EXPECT_FALSE(w->canAppend(sub.Code));
        }
    }
    for (const auto& w : registry.writers())
        for (int code : w->codes()) EXPECT_TRUE(catalogued.count(code)) << w->name() << " code " << code;
}
