#include "cli/batch_report.h"

#include <cstdio>
#include <utility>

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

BatchReport::BatchReport(std::ostream& out, std::vector<std::string> inputs, std::vector<std::string> outputs,
                         const ImagingControl& control)
    : out_(out), inputs_(std::move(inputs)), outputs_(std::move(outputs)), control_(control) {}

long long BatchReport::ElapsedMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since_).count();
}

void BatchReport::Line(std::size_t index, const char* status, const std::string& message, int pages, long long ms) {
    out_ << "{\"input\":" << JsonString(inputs_.at(index)) << ",\"output\":" << JsonString(outputs_.at(index))
         << ",\"status\":\"" << status << "\",\"message\":" << JsonString(message) << ",\"pages\":" << pages
         << ",\"milliseconds\":" << ms << "}\n";
    out_.flush();
}

void BatchReport::Begin(std::size_t index) {
    if (started_ && current_ < index) Line(current_, "converted", "", control_.InfoPageCount(), ElapsedMs());
    current_ = index;
    started_ = true;
    since_ = std::chrono::steady_clock::now();
}

void BatchReport::End(bool failed, const std::string& message) {
    if (!started_) return;
    if (!failed) {
        Line(current_, "converted", "", control_.InfoPageCount(), ElapsedMs());
        return;
    }
    Line(current_, "failed", message, 0, ElapsedMs());
    for (std::size_t i = current_ + 1; i < inputs_.size(); ++i) Line(i, "not started", "", 0, 0);
}

}  // namespace rastel
