#include "odbc/join_errors.h"

#include <string>

#include "util/string.h"
#include "zel/sql/DatabaseError.h"

namespace zel::sql::detail {

void throw_joined_errors(const Error& database_failure, const Error& file_failure) {
    const std::string joined =
        util::cat(database_failure.get_message(), "; ", file_failure.get_message());
    if (const auto* driver_error = dynamic_cast<const DatabaseError*>(&database_failure)) {
        throw DatabaseError(joined, driver_error->get_sqlstate(), driver_error->get_native_error());
    }
    throw Error(joined);
}

}  // namespace zel::sql::detail
