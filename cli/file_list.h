#pragma once

#include <istream>
#include <string>
#include <vector>

namespace rastel {

// The names in a list of files: one per line, or separated by NUL bytes when
// `nulSeparated` (names that may hold newlines). Empty entries are skipped, as
// empty command-line arguments are.
std::vector<std::string> ReadFileList(std::istream& in, bool nulSeparated);

}  // namespace rastel
