#include "conversion/file_intake.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>

namespace rastel {

FileQueueType FileQueue{std::string()};

void ResetQueue(FileQueueType& queue) { queue.assign(1, std::string()); }

std::size_t QueuedCount(const FileQueueType& queue) { return queue.empty() ? 0 : queue.size() - 1; }

const std::vector<std::string>& AcceptedExtensions() {
    static const std::vector<std::string> list{".AWD", ".BMP", ".CAL", ".CMP", ".DIB", ".EPS", ".FAX", ".FPX", ".GIF",
                                               ".ICA", ".ICO", ".IMG", ".JPG", ".MAC", ".MSP", ".PCD", ".PCX", ".PCT",
                                               ".PNG", ".PSD", ".RAS", ".TGA", ".TIF", ".WFX", ".WMF", ".WPG"};
    return list;
}

std::int16_t AcceptFile(const std::string& path, FileQueueType& queue) {
    try {
        std::string ext = path.size() > 4 ? path.substr(path.size() - 4) : path;
        std::transform(ext.begin(), ext.end(), ext.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        const auto& accepted = AcceptedExtensions();
        if (std::find(accepted.begin(), accepted.end(), ext) != accepted.end()) {
            if (queue.empty()) queue.emplace_back();
            queue.back() = path;
            queue.emplace_back();
        }
        return 0;
    } catch (...) {
        return -1;
    }
}

void ExpandFolder(const std::string& folder, FileQueueType& queue, const std::function<void()>& yield) {
    const std::string base = AddBackslash(folder);
    DIR* dir = ::opendir(base.c_str());
    if (!dir) return;
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name.empty() || name[0] == '.') continue;
        struct stat st {};
        if (::stat((base + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        names.push_back(name);
    }
    ::closedir(dir);
    for (const auto& name : names) {
        if (yield) yield();
        AcceptFile(base + name, queue);
    }
}

std::string AddBackslash(const std::string& path) {
    constexpr char sep = std::filesystem::path::preferred_separator;
    if (!path.empty() && path.back() == sep) return path;
    return path + sep;
}

namespace {

bool equalsIgnoringAsciiCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

// The name under which `dir` lists `name`: the exact name when listed, else a
// listed name equal to it ignoring case (the file system accepted the other
// spelling, so it ignores case).
std::string listedName(const std::string& dir, const std::string& name) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return name;
    std::string found;
    while (const dirent* e = ::readdir(d)) {
        const std::string n = e->d_name;
        if (n == name) {
            found = n;
            break;
        }
        if (found.empty() && equalsIgnoringAsciiCase(n, name)) found = n;
    }
    ::closedir(d);
    return found.empty() ? name : found;
}

}  // namespace

std::string NormalizePath(const std::string& path) {
    try {
        if (path.empty()) return "";
        std::filesystem::path p(path);
        if (p.is_relative()) p = std::filesystem::current_path() / p;
        p = p.lexically_normal();
        std::string acc;
        for (const auto& part : p.relative_path()) {
            const std::string name = part.string();
            if (name.empty()) continue;
            const std::string parent = acc.empty() ? p.root_path().string() : acc;
            const std::string candidate = AddBackslash(parent) + name;
            struct stat st {};
            if (::lstat(candidate.c_str(), &st) != 0) return "";
            acc = AddBackslash(parent) + listedName(parent, name);
        }
        return acc.empty() ? p.root_path().string() : acc;
    } catch (...) {
        return "";
    }
}

int SplitCommandLine(const std::string& text, std::vector<std::string>& items) {
    try {
        if (text.empty()) return 0;
        items.assign(1, std::string());
        bool quoting = false;
        for (std::size_t i = 0; i < text.size(); ++i) {
            const char c = text[i];
            if (!quoting) {
                if (c == ' ' || c == '\t') {
                    items.emplace_back();
                } else if (c == '"') {
                    quoting = true;
                } else {
                    items.back() += c;
                }
            } else if (c != '"') {
                items.back() += c;
            } else {
                quoting = false;
                items.emplace_back();
                ++i;  // the separator that follows a closing quote
            }
        }
        return static_cast<int>(items.size());
    } catch (...) {
        return 0;
    }
}

}  // namespace rastel
