#include "cli/batch_report.h"

#include <cstdio>

namespace rastel {

std::string JsonString(const std::string& text) {
    std::string s = "\"";
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            s += '\\';
            s += ch;
        } else if (c < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            s += esc;
        } else {
            s += ch;
        }
    }
    return s + "\"";
}

void BatchReport::Line(const BatchItem& item, const char* status, const std::string& message, int pages, long long ms) {
    out_ << "{\"input\":" << JsonString(item.Input) << ",\"output\":" << JsonString(item.Output) << ",\"status\":\""
         << status << "\",\"message\":" << JsonString(message) << ",\"pages\":" << pages << ",\"milliseconds\":" << ms
         << "}\n";
    out_.flush();
}

void BatchReport::Write(const BatchItem& item) {
    if (item.Status == BatchItem::State::Converted)
        Line(item, "converted", "", item.Pages, item.Milliseconds);
    else if (item.Status == BatchItem::State::Failed)
        Line(item, "failed", item.Cause, 0, item.Milliseconds);
}

void BatchReport::End(const std::vector<BatchItem>& items) {
    bool ended = false;
    for (const BatchItem& item : items) {
        if (ended) Line(item, "not started", "", 0, 0);
        ended = ended || item.Status == BatchItem::State::Failed;
    }
}

}  // namespace rastel
