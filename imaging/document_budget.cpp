#include "imaging/document_budget.h"

#include <algorithm>
#include <string>

#include "imaging/error.h"
#include "imaging/image.h"

namespace rastel::imaging {

namespace {
thread_local DocumentPixelBudget* t_active = nullptr;
}

DocumentPixelBudget::DocumentPixelBudget(std::uint64_t earlierPages) : outer_(t_active), charged_(earlierPages) {
    t_active = this;
}

DocumentPixelBudget::~DocumentPixelBudget() { t_active = outer_; }

void DocumentPixelBudget::charge(std::uint64_t pixels) {
    DocumentPixelBudget* b = t_active;
    if (!b) return;
    b->charged_ += pixels;
    b->largest_ = std::max(b->largest_, pixels);
    checkDocumentPixels(b->charged_ - b->largest_);
}

void checkDocumentPixels(std::uint64_t total) {
    if (total > pixelLimit())
        fail(Error::Kind::TooLarge, "document",
             "its pages together exceed the limit of " + std::to_string(pixelLimit()) + " pixels");
}

}  // namespace rastel::imaging
