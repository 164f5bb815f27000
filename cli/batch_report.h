#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "conversion/batch_conversion.h"

namespace rastel {

// One JSON line per queued item, written and flushed as each item ends:
//   {"input":..,"output":..,"status":"converted"|"failed"|"not started",
//    "message":..,"pages":N,"milliseconds":N}
// Items a failure leaves unstarted are listed too, so a scheduler can tell
// what remains: with several workers that includes items finished after the
// failure, whose outputs were discarded. The page count is the one the engine
// read for a converted item.
class BatchReport {
public:
    explicit BatchReport(std::ostream& out) : out_(out) {}
    // Item `item` ended, converted or failed; in queue order.
    void Write(const BatchItem& item);
    // The batch ended: lists the items it never converted.
    void End(const std::vector<BatchItem>& items);

private:
    void Line(const BatchItem& item, const char* status, const std::string& message, int pages, long long ms);

    std::ostream& out_;
};

// `text` as a JSON string literal.
std::string JsonString(const std::string& text);

}  // namespace rastel
