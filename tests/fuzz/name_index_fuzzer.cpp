// The name index and the scan side by side: every lookup of
// find_component_by_name must give the component that a plain walk of the
// list gives, after the build and after each direct change to components_
// made as ComponentList.h prescribes.
//
// Input: the first line holds one operation per byte, applied in turn after
// the list is built; every further line is a component name (bytes 0x00 to
// 0xff, the line feed aside). Operations, by byte % 5: append the next name,
// erase a component, rename one in place, reverse the list (each of these three
// followed by rebuild_name_index()), or append the next name and rebuild. After
// every operation each stored name is looked up as stored, with the case of
// its ASCII letters flipped, and through the read-only overload.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "zel/sql/ComponentList.h"

namespace {

using zel::sql::Component;
using zel::sql::ComponentList;
using zel::sql::test::fuzz::check;

constexpr std::size_t max_components = 256;

char fold(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

const Component* scan(const ComponentList& list, std::string_view name) {
    for (const Component& component : list.components_) {
        const std::string& candidate = component.name_;
        if (candidate.size() == name.size() &&
            std::equal(candidate.begin(), candidate.end(), name.begin(),
                       [](char a, char b) { return fold(a) == fold(b); })) {
            return &component;
        }
    }
    return nullptr;
}

std::string flipped(std::string name) {
    for (char& c : name) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
            c = static_cast<char>(c ^ 0x20);
        }
    }
    return name;
}

void check_lookup(ComponentList& list, const std::string& name) {
    const Component* expected = scan(list, name);
    check(list.find_component_by_name(name) == expected, "index and scan differ: " + name);
    const ComponentList& read_only = list;
    check(read_only.find_component_by_name(name) == expected,
          "const index and scan differ: " + name);
}

void check_all(ComponentList& list, const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        check_lookup(list, name);
        check_lookup(list, flipped(name));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t end_of_operations = input.find('\n');
    const std::string_view operations = input.substr(0, end_of_operations);
    std::vector<std::string> names;
    if (end_of_operations != std::string_view::npos) {
        std::string_view rest = input.substr(end_of_operations + 1);
        while (names.size() < max_components) {
            const std::size_t end = rest.find('\n');
            names.emplace_back(rest.substr(0, end));
            if (end == std::string_view::npos) {
                break;
            }
            rest.remove_prefix(end + 1);
        }
    }

    // The first half of the names fills the list, the rest is appended later.
    const std::size_t initial = names.size() / 2;
    ComponentList list;
    for (std::size_t i = 0; i < initial; ++i) {
        list.components_.emplace_back().name_ = names[i];
    }
    list.rebuild_name_index();
    check_all(list, names);

    std::size_t next_name = initial;
    for (const char op_byte : operations.substr(0, 64)) {
        const auto op = static_cast<unsigned char>(op_byte);
        auto& components = list.components_;
        const std::size_t target = components.empty() ? 0 : op % components.size();
        switch (op % 5) {
            case 0:
            case 4:
                if (next_name < names.size()) {
                    components.emplace_back().name_ = names[next_name++];
                }
                if (op % 5 == 4) {
                    list.rebuild_name_index();
                }
                break;
            case 1:
                if (!components.empty()) {
                    components.erase(components.begin() + static_cast<std::ptrdiff_t>(target));
                }
                list.rebuild_name_index();
                break;
            case 2:
                if (!components.empty() && !names.empty()) {
                    components[target].name_ = names[op % names.size()];
                }
                list.rebuild_name_index();
                break;
            default:
                std::reverse(components.begin(), components.end());
                list.rebuild_name_index();
                break;
        }
        check_all(list, names);
    }

    // A copy carries the index and answers for itself.
    ComponentList copy(list);
    check_all(copy, names);
    for (const std::string& name : names) {
        const Component* found = copy.find_component_by_name(name);
        check(found == nullptr || (found >= copy.components_.data() &&
                                   found < copy.components_.data() + copy.components_.size()),
              "the copy answers with a component of another list");
    }
    list.clear();
    check_all(list, names);
    return 0;
}
