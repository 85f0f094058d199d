#include "zel/Error.h"

namespace zel {

Error::Error(const std::string& message) : std::runtime_error(message) {}

Error::Error(const char* message) : std::runtime_error(message) {}

std::string Error::get_message() const {
    return what();
}

}  // namespace zel
