#include "zel/sql/CacheCopy.h"

#include <utility>

#include "cache/cache_file.h"
#include "util/string.h"

namespace zel::sql {

CacheCopyError::CacheCopyError(const std::string& message, Kind kind, std::string reason)
    : Error(message), kind_(kind), reason_(std::move(reason)) {}

CacheCopyError::~CacheCopyError() = default;

std::optional<CacheCopy> read_cache_copy(const std::string& file_name) {
    util::check_no_nul(file_name, "Invalid file name");
    return detail::CacheFiles::read(file_name);
}

}  // namespace zel::sql
