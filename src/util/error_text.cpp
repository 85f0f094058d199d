#include "util/error_text.h"

#include <cstring>

namespace zel::util {

std::string error_text(int error_number) {
    char buffer[256];
    // The GNU strerror_r returns its text, which may or may not be `buffer`.
    return ::strerror_r(error_number, buffer, sizeof(buffer));
}

}  // namespace zel::util
