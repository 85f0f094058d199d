#include "list_diff.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "component_columns.h"

namespace zel_sql_tool {

std::string backup_precision_number(double value) {
    char text[40];
    std::snprintf(text, sizeof(text), "%.15e", value);
    return text;
}

namespace {

using zel::sql::Component;
using zel::sql::ComponentList;

// Each component by its key, in list order.
std::vector<std::pair<std::string, const Component*>> keyed(const ComponentList& list) {
    std::map<std::string, int> seen;
    std::vector<std::pair<std::string, const Component*>> out;
    for (const Component& c : list.components_) {
        const int occurrence = ++seen[c.name_];
        out.emplace_back(occurrence == 1 ? c.name_ : c.name_ + "#" + std::to_string(occurrence),
                         &c);
    }
    return out;
}

// The short form of a coordinate for the report: 16 digits tell apart what
// the comparison tells apart.
std::string shown(double value) {
    char text[40];
    std::snprintf(text, sizeof(text), "%.16g", value);
    return text;
}

// Flag names are matched exactly: get_flag_idx would match only names that
// are upper case already.
int flag_index(const ComponentList& list, const std::string& name) {
    const auto found = std::find(list.flag_names_.begin(), list.flag_names_.end(), name);
    return found == list.flag_names_.end() ? -1
                                           : static_cast<int>(found - list.flag_names_.begin());
}

bool flag(const Component& c, int index) {
    return index >= 0 && static_cast<std::size_t>(index) < c.flags_.size() &&
           c.flags_[static_cast<std::size_t>(index)];
}

void compare(const std::string& key, const Component& a, const ComponentList& list_a,
             const Component& b, const ComponentList& list_b, std::vector<FieldChange>& out) {
    for (const TextColumn& field : text_columns) {
        if (a.*field.member != b.*field.member) {
            out.push_back({key, field.column, a.*field.member, b.*field.member});
        }
    }
    for (const PositionColumn& field : position_columns) {
        if (backup_precision_number(a.*field.member) != backup_precision_number(b.*field.member)) {
            out.push_back({key, field.column, shown(a.*field.member), shown(b.*field.member)});
        }
    }
    for (std::size_t i = 0; i < list_a.flag_names_.size(); ++i) {
        const std::string& name = list_a.flag_names_[i];
        const int j = flag_index(list_b, name);
        if (j < 0) {
            continue;  // reported once, as a change of the flag set
        }
        const bool in_a = flag(a, static_cast<int>(i));
        const bool in_b = flag(b, j);
        if (in_a != in_b) {
            out.push_back({key, flag_column(name), in_a ? "1" : "0", in_b ? "1" : "0"});
        }
    }
}

std::vector<std::string> names_missing_from(const std::vector<std::string>& names,
                                            const ComponentList& other) {
    std::vector<std::string> out;
    for (const std::string& name : names) {
        if (flag_index(other, name) < 0) {
            out.push_back(name);
        }
    }
    return out;
}

}  // namespace

ListDiff diff_lists(const ComponentList& first, const ComponentList& second) {
    ListDiff diff;
    diff.flags_removed = names_missing_from(first.flag_names_, second);
    diff.flags_added = names_missing_from(second.flag_names_, first);

    const auto keyed_first = keyed(first);
    const auto keyed_second = keyed(second);
    std::map<std::string, const Component*> by_key_second(keyed_second.begin(), keyed_second.end());
    std::map<std::string, const Component*> by_key_first(keyed_first.begin(), keyed_first.end());
    for (const auto& [key, component] : keyed_first) {
        const auto match = by_key_second.find(key);
        if (match == by_key_second.end()) {
            diff.removed.push_back(key);
        } else {
            compare(key, *component, first, *match->second, second, diff.changed);
        }
    }
    for (const auto& [key, component] : keyed_second) {
        if (by_key_first.count(key) == 0) {
            diff.added.push_back(key);
        }
    }
    return diff;
}

}  // namespace zel_sql_tool
