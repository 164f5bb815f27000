#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace rastel {

// The input paths waiting for conversion. It always ends in one spare empty
// slot, so its size minus one is the number of queued paths; an empty queue is
// one empty slot.
using FileQueueType = std::vector<std::string>;
extern FileQueueType FileQueue;

// Empties a queue to its one spare slot.
void ResetQueue(FileQueueType& queue);
// Number of queued paths (the upper index).
std::size_t QueuedCount(const FileQueueType& queue);

// The 26 accepted input extensions, upper case with their dot, in comparison order.
const std::vector<std::string>& AcceptedExtensions();

// Queues `path` when its last four characters, upper-cased, are an accepted
// extension. Nothing else is tested. Returns 0 (also when not accepted).
std::int16_t AcceptFile(const std::string& path, FileQueueType& queue = FileQueue);

// Offers every plain file directly inside `folder` to AcceptFile, in the order
// the folder lists them: no subfolders, no hidden entries (names starting with a
// dot), only regular files, no recursion. `yield` runs before each file.
void ExpandFolder(const std::string& folder, FileQueueType& queue = FileQueue, const std::function<void()>& yield = {});

// `path` with the native separator appended unless it already ends in one.
std::string AddBackslash(const std::string& path);

// The path rebuilt from the names its folders list: a relative path is made
// absolute against the working directory, "." and ".." are resolved, and each
// component is replaced by the name under which its folder lists it (which
// differs only on case-insensitive file systems). Any missing component gives "".
std::string NormalizePath(const std::string& path);

// Splits one command-line text into items: blanks and tabs separate, double
// quotes group, a closing quote also consumes the character after it. Returns
// the item count (0 for empty text, when `items` is left untouched).
int SplitCommandLine(const std::string& text, std::vector<std::string>& items);

}  // namespace rastel
