#include "folder_snapshot.h"

#include <filesystem>

#include "test_support.h"

namespace zel::sql::test {

std::map<std::string, std::string> folder_snapshot(const std::string& folder) {
    std::map<std::string, std::string> entries;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (entry.is_symlink()) {
            entries[name] = "-> " + std::filesystem::read_symlink(entry.path()).string();
        } else if (entry.is_directory()) {
            entries[name] = "<folder>";
        } else {
            entries[name] = read_file(entry.path().string());
        }
    }
    return entries;
}

}  // namespace zel::sql::test
