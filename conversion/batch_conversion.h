#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "conversion/imaging_control.h"

namespace rastel {

// What became of one queued item.
struct BatchItem {
    enum class State { NotStarted, Converted, Failed };
    std::string Input;   // the path as queued
    std::string Output;  // where its output goes ("" for a name without extension)
    State Status = State::NotStarted;
    std::string Message;  // the engine's message when it failed (names the file and the cause)
    std::string Cause;    // that message without this input's name, when the failure names it
    int Pages = 0;        // pages the engine found in the input
    long long Milliseconds = 0;
};

// What a running batch shows: the window program updates its label and
// preview and pumps its event loop; the headless converter prints progress.
// Every call comes from the thread that runs ConvertQueue.
class BatchObserver {
public:
    virtual ~BatchObserver() = default;
    // Before each file: item `index` (0-based) of `count`.
    virtual void ShowProgress(std::size_t index, std::size_t count) = 0;
    // Once per file, after loading: let pending window events run.
    virtual void Yield() = 0;
    // The file as loaded, before any processing.
    virtual void ShowPreview(const DisplayPicture& picture) = 0;
    // Whether ShowPreview is wanted at all (a headless run skips building it).
    virtual bool WantsPreview() const { return true; }
    // Item `index` ended, converted (its output in place) or failed; called in
    // queue order.
    virtual void ItemDone(std::size_t /*index*/, const BatchItem& /*item*/) {}
};

// Where a batch that failed stopped: the input being converted, the engine's
// message (which names the file and the cause) and the cause alone (without
// the input's name).
struct BatchFailure {
    std::string Path;
    std::string Message;
    std::string Cause;
};

// The outcome of one run of ConvertQueue.
struct BatchResult {
    std::int16_t Status = 0;  // 0 all converted, -1 stopped at a failure
    BatchFailure Failure;     // set when Status is -1
    std::vector<BatchItem> Items;
};

// The failure of the last three-argument ConvertQueue that failed, for the
// window program.
extern BatchFailure LastBatchFailure;

// What the window and rastel-batch show for ShowProgress: "i/N処理中", i
// counting from 1.
std::string ProgressText(std::size_t index, std::size_t count);

// Codes whose outputs take the further pages of a multi-page input.
bool IsMultiPageCode(std::int32_t code);

// Makes a further imaging control for a parallel worker.
using ControlFactory = std::function<std::unique_ptr<ImagingControl>()>;

// Converts every path queued in `queue` (a FileQueue: paths then one spare empty
// slot) into the output format the settings describe, beside its input, and
// says what became of each item. Stops at the first failure (later files are
// not touched). The queue is always left as one empty slot.
//
// Every page of a multi-page output is processed like the first, and such an
// output appears under its final name only once its last page is written, so a
// batch that stops between pages leaves an earlier file of that name intact.
//
// With `jobs` above 1 and a `makeControl`, that many files are converted at
// once, `control` serving the first worker and `makeControl` the others. The
// result is that of a sequential run: progress is shown in queue order, every
// output is written to a working file and renamed into place in queue order,
// and the first failure in queue order ends the batch: outputs finished after
// it are discarded and files after it are not started. Only ShowProgress and
// ItemDone are called then, never Yield or ShowPreview.
BatchResult ConvertQueue(std::vector<std::string>& queue, ImagingControl& control, BatchObserver& observer,
                         unsigned jobs, const ControlFactory& makeControl = {});

// One file at a time; returns 0 or -1 and sets LastBatchFailure after a failure.
std::int16_t ConvertQueue(std::vector<std::string>& queue, ImagingControl& control, BatchObserver& observer);

}  // namespace rastel
