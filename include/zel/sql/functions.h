#ifndef ZEL_SQL_FUNCTIONS_H_
#define ZEL_SQL_FUNCTIONS_H_

/// @file
/// Free functions of the library.

#include <string>
#include <string_view>

#include "zel/export.h"

namespace zel::sql {

/// The canonical name of a facility given in any of its accepted spellings:
/// trimmed, ASCII upper case, the "_SIM" spellings ("VMIRAN", "miran.sim")
/// mapped onto "<FACILITY>_SIM", "QOR..." onto "MIRAN", and any other dotted
/// qualifier cut off ("DUNO.TEST" gives "DUNO"). Never fails.
ZEL_SQL_API std::string standardize_facility_name(std::string_view facility);

}  // namespace zel::sql

#endif  // ZEL_SQL_FUNCTIONS_H_
