// The trust rule of the files the library falls back on, asked by callers
// (an operator's tool that shows whether a backup or a copy would be used).

#include "zel/sql/trust.h"

#include "util/error_text.h"
#include "util/string.h"
#include "util/trusted_file.h"
#include "zel/Error.h"

namespace zel::sql {

std::string why_untrusted(const std::string& path) {
    util::check_no_nul(path, "Invalid file name");
    const util::ReadableFile file(path, util::Trust::owner_checked);
    if (file.is_open()) {
        return {};
    }
    if (!file.refusal().empty()) {
        return file.refusal();
    }
    throw Error(util::cat("Cannot open ", path, ": ", util::error_text(file.error_number())));
}

}  // namespace zel::sql
