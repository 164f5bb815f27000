#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "conversion/imaging_control.h"

namespace rastel {

// What a running batch shows: the window program updates its label and
// preview and pumps its event loop; the headless converter prints progress.
class BatchObserver {
public:
    virtual ~BatchObserver() = default;
    // "i/N処理中" before each file.
    virtual void ShowProgress(const std::string& text) = 0;
    // Once per file, after loading: let pending window events run.
    virtual void Yield() = 0;
    // The file as loaded, before any processing.
    virtual void ShowPreview(const DisplayPicture& picture) = 0;
    // Whether ShowPreview is wanted at all (a headless run skips building it).
    virtual bool WantsPreview() const { return true; }
};

// Where the last batch that failed stopped: the input being converted and the
// engine's message (which names the file and the cause).
struct BatchFailure {
    std::string Path;
    std::string Message;
};
extern BatchFailure LastBatchFailure;

// Codes whose outputs take the further pages of a multi-page input.
bool IsMultiPageCode(std::int32_t code);

// Converts every path queued in `queue` (a FileQueue: paths then one spare empty
// slot) into the output format the settings describe, beside its input.
// Returns 0 when all converted, -1 at the first failure (LastBatchFailure says
// which file and why; later files are not touched). The queue is always left
// as one empty slot.
//
// Every page of a multi-page output is processed like the first, and such an
// output appears under its final name only once its last page is written, so a
// batch that stops between pages leaves an earlier file of that name intact.
std::int16_t ConvertQueue(std::vector<std::string>& queue, ImagingControl& control, BatchObserver& observer);

}  // namespace rastel
