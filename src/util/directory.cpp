#include "util/directory.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>

namespace zel::util {

bool make_directory(const std::string& path, unsigned int mode) {
    if (::mkdir(path.c_str(), static_cast<mode_t>(mode)) == 0) {
        return true;
    }
    if (errno != EEXIST) {
        return false;
    }
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace zel::util
