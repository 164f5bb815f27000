#pragma once

#include <chrono>
#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

#include "conversion/imaging_control.h"

namespace rastel {

// One JSON line per queued item, written and flushed as each item ends:
//   {"input":..,"output":..,"status":"converted"|"failed"|"not started",
//    "message":..,"pages":N,"milliseconds":N}
// Items a failure leaves unstarted are listed too, so a scheduler can tell
// what remains. The page count is the one the engine read for the item.
class BatchReport {
public:
    // `outputs[i]` is where item i's output goes.
    BatchReport(std::ostream& out, std::vector<std::string> inputs, std::vector<std::string> outputs,
                const ImagingControl& control);
    // Item `index` (0-based, in queue order) starts; the one before it converted.
    void Begin(std::size_t index);
    // The batch ended: every started item converted, or the last one failed
    // with `message` and the rest were not started.
    void End(bool failed, const std::string& message);

private:
    void Line(std::size_t index, const char* status, const std::string& message, int pages, long long ms);
    long long ElapsedMs() const;

    std::ostream& out_;
    std::vector<std::string> inputs_, outputs_;
    const ImagingControl& control_;
    std::size_t current_ = 0;
    bool started_ = false;
    std::chrono::steady_clock::time_point since_;
};

// `text` as a JSON string literal.
std::string JsonString(const std::string& text);

}  // namespace rastel
