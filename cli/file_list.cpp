#include "cli/file_list.h"

namespace rastel {

std::vector<std::string> ReadFileList(std::istream& in, bool nulSeparated) {
    std::vector<std::string> names;
    std::string name;
    while (std::getline(in, name, nulSeparated ? '\0' : '\n'))
        if (!name.empty()) names.push_back(name);
    return names;
}

}  // namespace rastel
