#pragma once

#include <cstdint>

namespace rastel::imaging {

// While one is alive on a thread, the images allocated on that thread count
// against the pixel limit as one document: once their pixels together, less
// the largest image (room for one transient copy a decoder makes while
// converting a page), pass the limit, the allocation throws Error. This stops
// a small file of many large pages before it is decoded past the limit.
// `earlierPages` counts pages of the same document decoded before this
// budget (page by page decoding), so that the limit holds for them all.
class DocumentPixelBudget {
public:
    explicit DocumentPixelBudget(std::uint64_t earlierPages = 0);
    ~DocumentPixelBudget();
    DocumentPixelBudget(const DocumentPixelBudget&) = delete;
    DocumentPixelBudget& operator=(const DocumentPixelBudget&) = delete;

    // Counts an allocation of `pixels` against the budget active on this thread, if any.
    static void charge(std::uint64_t pixels);

private:
    DocumentPixelBudget* outer_;
    std::uint64_t charged_ = 0;
    std::uint64_t largest_ = 0;
};

// Throws Error when the pages of one document together exceed the pixel limit.
void checkDocumentPixels(std::uint64_t total);

}  // namespace rastel::imaging
