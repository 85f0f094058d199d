#ifndef ZEL_SQL_COMPONENT_LIST_NAME_INDEX_H_
#define ZEL_SQL_COMPONENT_LIST_NAME_INDEX_H_

// The index behind ComponentList::find_component_by_name: an open-addressing
// hash table over the names folded to ASCII upper case. Internal: not
// exported.
//
// Each slot is one 64-bit word: the upper 32 bits of the name's hash, then the
// component's position + 1 (0 marks an empty slot). Only the first component
// of each folded name is entered, so a hit names the first match in list
// order as the list stood when the index was built. The table holds positions,
// never names: a hit is worth nothing until the caller has compared the name
// at that position, and every answer this index gives is such a candidate.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "zel/sql/Component.h"

namespace zel::sql::detail {

/// The table of `components`; empty for an empty list and for a list too long
/// for 32-bit positions (lookups then scan).
std::vector<std::uint64_t> build_name_index(const std::vector<Component>& components);

/// The position of the component that `index` holds for `name`, checked
/// against the name that component carries now; `not_in_index` when the index has no
/// entry for the name or its entry no longer matches.
std::size_t find_in_name_index(const std::vector<std::uint64_t>& index,
                               const std::vector<Component>& components, std::string_view name);

inline constexpr std::size_t not_in_index = static_cast<std::size_t>(-1);

}  // namespace zel::sql::detail

#endif  // ZEL_SQL_COMPONENT_LIST_NAME_INDEX_H_
