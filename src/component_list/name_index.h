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
//
// One word after the slots records how many components the index covers, the
// list's length at the build. A name the index does not know is then looked
// for only among the components appended since, so that a miss costs one
// probe, not a walk of the whole list. That answer rests on the rule of
// ComponentList.h (the covered components were neither renamed, erased nor
// moved); where the index can see that the rule was broken, it asks for the
// whole list to be walked instead.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "zel/sql/Component.h"

namespace zel::sql::detail {

inline constexpr std::size_t not_in_index = static_cast<std::size_t>(-1);

/// The table of `components` with the number it covers; empty for an empty
/// list and for a list too long for 32-bit positions (lookups then scan).
std::vector<std::uint64_t> build_name_index(const std::vector<Component>& components);

/// What the index says about one name.
struct NameIndexAnswer {
    /// The position of the component that holds the name, checked against the
    /// name it carries now; not_in_index when there is none.
    std::size_t position;
    /// When `position` is not_in_index: where a walk of the list must start to
    /// find the name, if anywhere. The first component the index does not
    /// cover; 0 when there is no index, or when it no longer fits the list (it
    /// covers more components than the list holds, or its entry for the name
    /// points at a component that no longer carries it).
    std::size_t scan_from;
};

NameIndexAnswer find_in_name_index(const std::vector<std::uint64_t>& index,
                                   const std::vector<Component>& components, std::string_view name);

}  // namespace zel::sql::detail

#endif  // ZEL_SQL_COMPONENT_LIST_NAME_INDEX_H_
