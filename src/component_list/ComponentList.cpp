// The component list in memory: lookups, comparison and the selection queries
// that hand out pointers into components_.

#include "zel/sql/ComponentList.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <regex>
#include <type_traits>

#include "component_list/name_index.h"
#include "util/regex_traits.h"
#include "util/string.h"
#include "zel/Error.h"

namespace zel::sql {
namespace detail {

// The first component from position `from` on whose name matches: for the
// names that the index does not know, among the components it does not cover.
template <typename ComponentPtr, typename ComponentListType>
ComponentPtr scan_for_name(std::string_view name, ComponentListType& components, std::size_t from) {
    for (std::size_t position = from; position < components.size(); ++position) {
        if (util::equals_nocase(components[position].name_, name)) {
            return &components[position];
        }
    }
    return nullptr;
}

template <typename ComponentPtr, typename ComponentListType>
ComponentPtr find_component_by_name(std::string_view name, ComponentListType& components,
                                    const std::vector<std::uint64_t>& name_index) {
    const NameIndexAnswer answer = find_in_name_index(name_index, components, name);
    if (answer.position != not_in_index) {
        return &components[answer.position];
    }
    return scan_for_name<ComponentPtr>(name, components, answer.scan_from);
}

// The position that a sort order measures; only z and s name one.
inline double position_of(const Component& component, ComponentList::SortOrder sort_order) {
    return sort_order == ComponentList::SortOrder::z ? component.z_ : component.s_;
}

// A component carries flag `idx` only when its flags_ reaches that far: both
// members are public, so a caller can break the one-value-per-flag invariant.
inline bool has_flag(const Component& component, int idx) {
    const auto index = static_cast<std::size_t>(idx);
    return index < component.flags_.size() && component.flags_[index];
}

template <typename ComponentPtr>
void sort_component_pointers(std::vector<ComponentPtr>& component_ptrs,
                             ComponentList::SortOrder sort_order) {
    if (sort_order != ComponentList::SortOrder::z && sort_order != ComponentList::SortOrder::s) {
        return;
    }
    // Positions that are not a number go last: a plain "less than" is no strict
    // weak order once NaN is involved, and std::sort may then run off the end.
    std::sort(component_ptrs.begin(), component_ptrs.end(),
              [sort_order](ComponentPtr a, ComponentPtr b) {
                  const double pa = position_of(*a, sort_order);
                  const double pb = position_of(*b, sort_order);
                  if (std::isnan(pb)) {
                      return !std::isnan(pa);
                  }
                  return pa < pb;
              });
}

template <typename ComponentPtr, typename ComponentListPtr>
std::vector<ComponentPtr> get_sorted_list(ComponentListPtr that,
                                          ComponentList::SortOrder sort_order) {
    std::vector<ComponentPtr> result;
    result.reserve(that->components_.size());
    for (auto& component : that->components_) {
        result.push_back(&component);
    }
    sort_component_pointers(result, sort_order);
    return result;
}

template <typename ComponentPtr, typename ComponentListPtr>
std::vector<ComponentPtr> find_components_with_flag(ComponentListPtr that,
                                                    const std::string& flag_name,
                                                    ComponentList::SortOrder sort_order) {
    const int idx = that->get_flag_idx(flag_name);
    if (idx == -1) {
        return {};
    }
    std::vector<ComponentPtr> result;
    for (auto& component : that->components_) {
        if (has_flag(component, idx)) {
            result.push_back(&component);
        }
    }
    sort_component_pointers(result, sort_order);
    return result;
}

template <typename ComponentPtr, typename ComponentListPtr>
std::vector<ComponentPtr> extract_beamline(ComponentListPtr that, const std::string& flag,
                                           double z_or_s_start, double z_or_s_end,
                                           ComponentList::SortOrder sort_order) {
    auto result =
        find_components_with_flag<ComponentPtr>(that, flag, ComponentList::SortOrder::none);
    if (sort_order != ComponentList::SortOrder::z && sort_order != ComponentList::SortOrder::s) {
        throw Error("SortOrder::none is not allowed for extract_beamline()");
    }
    // A position that is not a number is neither below nor above the bounds.
    const auto outside = [&](ComponentPtr component) {
        const double position = position_of(*component, sort_order);
        return position < z_or_s_start || position > z_or_s_end;
    };
    result.erase(std::remove_if(result.begin(), result.end(), outside), result.end());
    sort_component_pointers(result, sort_order);
    return result;
}

template <typename ComponentPtr, typename Predicate>
std::vector<ComponentPtr> create_cell_from_range(
    const std::vector<ComponentPtr>& sorted_component_ptrs, std::size_t start_idx,
    Predicate is_in_cell) {
    const std::size_t num_components = sorted_component_ptrs.size();
    std::size_t idx = start_idx;
    while (idx > 0 && is_in_cell(*sorted_component_ptrs[idx - 1])) {
        --idx;
    }
    while (idx < num_components && !is_in_cell(*sorted_component_ptrs[idx])) {
        ++idx;
    }
    std::vector<ComponentPtr> cell;
    while (idx < num_components && is_in_cell(*sorted_component_ptrs[idx])) {
        cell.push_back(sorted_component_ptrs[idx]);
        ++idx;
    }
    return cell;
}

template <typename ComponentPtr>
std::vector<std::vector<ComponentPtr>> extract_cells_around_components(
    const std::vector<ComponentPtr>& component_ptrs, const std::string& name_regex,
    ComponentList::SortOrder sort_order, double meters_before, double meters_after) {
    if (!(meters_before <= 0.0)) {
        throw Error("meters_before must be negative or zero");
    }
    if (!(meters_after >= 0.0)) {
        throw Error("meters_after must be positive or zero");
    }
    const util::CaseFoldingRegex pattern(name_regex, std::regex::icase);

    std::vector<ComponentPtr> sorted_component_ptrs(component_ptrs);
    sort_component_pointers(sorted_component_ptrs, sort_order);

    std::vector<std::vector<ComponentPtr>> cells;
    for (std::size_t i = 0; i < sorted_component_ptrs.size(); ++i) {
        const Component& comp = *sorted_component_ptrs[i];
        if (!std::regex_match(comp.name_, pattern)) {
            continue;
        }
        if (sort_order != ComponentList::SortOrder::z &&
            sort_order != ComponentList::SortOrder::s) {
            throw Error("Invalid sort order (must be z or s)");
        }
        const double position = position_of(comp, sort_order);
        const double from = position + meters_before;
        const double to = position + meters_after;
        const auto is_in_cell = [from, to, sort_order](const Component& c) {
            const double p = position_of(c, sort_order);
            return p >= from && p <= to;
        };
        cells.push_back(create_cell_from_range(sorted_component_ptrs, i, is_in_cell));
    }
    return cells;
}

}  // namespace detail

void ComponentList::clear() {
    components_.clear();
    flag_names_.clear();
    name_index_.clear();
    name_index_.shrink_to_fit();
}

void ComponentList::rebuild_name_index() {
    name_index_ = detail::build_name_index(components_);
}

Component* ComponentList::find_component_by_name(std::string_view name) {
    return detail::find_component_by_name<Component*>(name, components_, name_index_);
}

const Component* ComponentList::find_component_by_name(std::string_view name) const {
    return detail::find_component_by_name<const Component*>(name, components_, name_index_);
}

int ComponentList::get_flag_idx(const std::string& name) const {
    const std::string wanted = util::uppercase_ascii(name);
    const auto it = std::find(flag_names_.begin(), flag_names_.end(), wanted);
    return it == flag_names_.end() ? -1 : static_cast<int>(it - flag_names_.begin());
}

std::vector<Component*> ComponentList::get_sorted_list(SortOrder sort_order) {
    return detail::get_sorted_list<Component*>(this, sort_order);
}

std::vector<const Component*> ComponentList::get_sorted_list(SortOrder sort_order) const {
    return detail::get_sorted_list<const Component*>(this, sort_order);
}

std::vector<Component*> ComponentList::find_components_with_flag(const std::string& flag_name,
                                                                 SortOrder sort_order) {
    return detail::find_components_with_flag<Component*>(this, flag_name, sort_order);
}

std::vector<const Component*> ComponentList::find_components_with_flag(const std::string& flag_name,
                                                                       SortOrder sort_order) const {
    return detail::find_components_with_flag<const Component*>(this, flag_name, sort_order);
}

std::vector<Component*> ComponentList::extract_beamline(const std::string& flag,
                                                        double z_or_s_start, double z_or_s_end,
                                                        SortOrder sort_order) {
    return detail::extract_beamline<Component*>(this, flag, z_or_s_start, z_or_s_end, sort_order);
}

std::vector<const Component*> ComponentList::extract_beamline(const std::string& flag,
                                                              double z_or_s_start,
                                                              double z_or_s_end,
                                                              SortOrder sort_order) const {
    return detail::extract_beamline<const Component*>(this, flag, z_or_s_start, z_or_s_end,
                                                      sort_order);
}

std::vector<std::vector<Component*>> ComponentList::extract_cells_around_components(
    const std::vector<Component*>& component_ptrs, const std::string& name_regex,
    SortOrder sort_order, double meters_before, double meters_after) {
    return detail::extract_cells_around_components(component_ptrs, name_regex, sort_order,
                                                   meters_before, meters_after);
}

std::vector<std::vector<const Component*>> ComponentList::extract_cells_around_components(
    const std::vector<const Component*>& component_ptrs, const std::string& name_regex,
    SortOrder sort_order, double meters_before, double meters_after) {
    return detail::extract_cells_around_components(component_ptrs, name_regex, sort_order,
                                                   meters_before, meters_after);
}

bool operator==(const ComponentList& a, const ComponentList& b) {
    return a.components_ == b.components_ && a.flag_names_ == b.flag_names_;
}

bool operator!=(const ComponentList& a, const ComponentList& b) {
    return !(a == b);
}

}  // namespace zel::sql
