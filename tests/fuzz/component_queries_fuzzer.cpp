// The in-memory queries by name: find_component_by_name and
// extract_cells_around_components on a small list described by the input.
//
// Input, one item per line:
//   1. the name pattern
//   2. "<sort order> <meters_before> <meters_after> [const]"; the order is z,
//      s, none or a number (any other value of the enumeration); "const" picks
//      the overload for pointers to const components
//   3. a name to look up
//   4. and on: one component per line, "<z> <s> <times selected> <name>"
// Numbers are read by strtod, so nan, inf and hexadecimal forms take part.
//
// std::regex matches by recursive backtracking. Its stack depth grows with
// the length of pattern and subject, and a quantifier applied to a group or to
// another quantifier ("((.*)*)*x", "Q.**Q1") costs time exponential in the
// subject's length: seconds for a name of eight bytes. libstdc++ 12 also reads
// a back-reference number or a repetition count into a long without an
// overflow check, so a long run of digits is undefined behaviour inside the
// standard library. None of that is this library's to fix: it hands the
// caller's pattern to std::regex as is. The input is therefore kept to what
// std::regex handles in bounded time and stack: patterns of at most 64 bytes
// with at most four quantifiers, none of them right after a group or another
// quantifier, digit runs of at most two digits, names of at most 16 bytes and
// at most 64 components. Those sizes still reach every path of the queries.

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "zel/Error.h"
#include "zel/sql/ComponentList.h"

namespace {

using zel::sql::Component;
using zel::sql::ComponentList;
using zel::sql::test::fuzz::check;
using zel::sql::test::fuzz::fail;
using SortOrder = ComponentList::SortOrder;

constexpr std::size_t max_pattern_length = 64;
constexpr std::size_t max_name_length = 16;
constexpr std::size_t max_components = 64;
constexpr std::size_t max_digit_run = 2;
constexpr int max_quantifiers = 4;

struct Scenario {
    std::string pattern;
    SortOrder sort_order = SortOrder::none;
    double meters_before = 0.0;
    double meters_after = 0.0;
    bool const_pointers = false;
    std::string lookup;
    ComponentList list;
    std::vector<Component*> selection;
};

// Splits off the text up to the first blank; `rest` keeps what follows it.
std::string next_token(std::string_view& rest) {
    const std::size_t blank = rest.find(' ');
    const std::string token(rest.substr(0, blank));
    rest = blank == std::string_view::npos ? std::string_view() : rest.substr(blank + 1);
    return token;
}

std::string without_long_digit_runs(const std::string& pattern) {
    std::string result;
    std::size_t run = 0;
    for (const char c : pattern) {
        run = (c >= '0' && c <= '9') ? run + 1 : 0;
        if (run <= max_digit_run) {
            result.push_back(c);
        }
    }
    return result;
}

// False for the patterns on which std::regex backtracks for ages (see above).
// Escaped characters and bracket contents are counted as if they were
// quantifiers and groups: that only rejects a few more patterns.
bool matches_in_bounded_time(const std::string& pattern) {
    int quantifiers = 0;
    bool after_group = false;
    bool after_quantifier = false;
    for (const char c : pattern) {
        if (c == '?' && after_quantifier) {
            continue;  // the lazy form of the quantifier before it
        }
        const bool quantifier = c == '*' || c == '+' || c == '?' || c == '{';
        if (quantifier && (after_group || after_quantifier || ++quantifiers > max_quantifiers)) {
            return false;
        }
        after_group = c == ')';
        after_quantifier = (quantifier && c != '{') || c == '}';
    }
    return true;
}

double to_double(const std::string& token) {
    return std::strtod(token.c_str(), nullptr);
}

// strtol's value clamped to int; atoi would leave an overflow undefined.
int to_int(const std::string& token) {
    const long value = std::strtol(token.c_str(), nullptr, 10);
    return static_cast<int>(std::clamp<long>(value, INT_MIN, INT_MAX));
}

SortOrder to_sort_order(const std::string& token) {
    if (token == "z") {
        return SortOrder::z;
    }
    if (token == "s") {
        return SortOrder::s;
    }
    return static_cast<SortOrder>(to_int(token));
}

Scenario parse(std::string_view input) {
    std::istringstream lines{std::string(input)};
    Scenario scenario;
    std::string line;
    std::getline(lines, line);
    scenario.pattern = without_long_digit_runs(line.substr(0, max_pattern_length));

    std::getline(lines, line);
    std::string_view rest = line;
    scenario.sort_order = to_sort_order(next_token(rest));
    scenario.meters_before = to_double(next_token(rest));
    scenario.meters_after = to_double(next_token(rest));
    scenario.const_pointers = next_token(rest) == "const";

    std::getline(lines, scenario.lookup);

    std::vector<int> times_selected;
    while (scenario.list.components_.size() < max_components && std::getline(lines, line)) {
        rest = line;
        Component component;
        component.z_ = to_double(next_token(rest));
        component.s_ = to_double(next_token(rest));
        times_selected.push_back(to_int(next_token(rest)) % 4);
        component.name_ = std::string(rest.substr(0, max_name_length));
        scenario.list.components_.push_back(std::move(component));
    }
    // Pointers are taken once the vector has stopped growing; moving the list
    // out of this function keeps them valid.
    for (std::size_t i = 0; i < times_selected.size(); ++i) {
        for (int n = 0; n < times_selected[i]; ++n) {
            scenario.selection.push_back(&scenario.list.components_[i]);
        }
    }
    return scenario;
}

bool equal_ignoring_ascii_case(std::string_view a, std::string_view b) {
    const auto fold = [](char c) {
        return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](char x, char y) { return fold(x) == fold(y); });
}

void check_find_by_name(const Scenario& scenario) {
    const ComponentList& list = scenario.list;
    const Component* expected = nullptr;
    for (const Component& component : list.components_) {
        if (equal_ignoring_ascii_case(component.name_, scenario.lookup)) {
            expected = &component;
            break;
        }
    }
    check(list.find_component_by_name(scenario.lookup) == expected,
          "find_component_by_name(\"" + scenario.lookup + "\") found the wrong component");
}

double position_of(const Component* component, SortOrder sort_order) {
    return sort_order == SortOrder::z ? component->z_ : component->s_;
}

// The ascending order that the cells follow; positions that are not a number
// come last.
bool before_in_beam_order(double a, double b) {
    return std::isnan(b) ? !std::isnan(a) : a < b;
}

template <typename ComponentPtr>
void check_cells(const Scenario& scenario, const std::vector<ComponentPtr>& selection,
                 const std::vector<std::vector<ComponentPtr>>& cells, const std::regex& pattern) {
    const SortOrder order = scenario.sort_order;
    std::vector<double> anchor_positions;
    for (const Component* member : selection) {
        if (std::regex_match(member->name_, pattern)) {
            anchor_positions.push_back(position_of(member, order));
        }
    }
    check(cells.size() == anchor_positions.size(), "one cell per anchor");
    std::sort(anchor_positions.begin(), anchor_positions.end(), before_in_beam_order);

    for (std::size_t k = 0; k < cells.size(); ++k) {
        const std::vector<ComponentPtr>& cell = cells[k];
        const double from = anchor_positions[k] + scenario.meters_before;
        const double to = anchor_positions[k] + scenario.meters_after;
        const std::string which = "cell #" + std::to_string(k);

        for (std::size_t i = 1; i < cell.size(); ++i) {
            check(!(position_of(cell[i], order) < position_of(cell[i - 1], order)),
                  which + " is not sorted by position");
        }
        // The members in the window form one run of the sorted selection that
        // holds the anchor, so the cell is exactly the selection's members in
        // the window, each as often as it was selected.
        std::vector<ComponentPtr> expected;
        for (ComponentPtr member : selection) {
            const double p = position_of(member, order);
            if (p >= from && p <= to) {
                expected.push_back(member);
            }
        }
        std::vector<ComponentPtr> actual = cell;
        std::sort(expected.begin(), expected.end(), std::less<ComponentPtr>());
        std::sort(actual.begin(), actual.end(), std::less<ComponentPtr>());
        check(actual == expected, which + " differs from the selection's members in its window");
    }
}

template <typename ComponentPtr>
void check_extract_cells(const Scenario& scenario, const std::vector<ComponentPtr>& selection) {
    const bool before_valid = scenario.meters_before <= 0.0;
    const bool after_valid = scenario.meters_after >= 0.0;
    const bool order_valid =
        scenario.sort_order == SortOrder::z || scenario.sort_order == SortOrder::s;

    std::vector<std::vector<ComponentPtr>> cells;
    try {
        cells = ComponentList::extract_cells_around_components(
            selection, scenario.pattern, scenario.sort_order, scenario.meters_before,
            scenario.meters_after);
    } catch (const zel::Error& e) {
        const std::string message = e.what();
        if (!before_valid) {
            check(message == "meters_before must be negative or zero", "message: " + message);
        } else if (!after_valid) {
            check(message == "meters_after must be positive or zero", "message: " + message);
        } else {
            check(!order_valid && message == "Invalid sort order (must be z or s)",
                  "message: " + message);
        }
        return;
    } catch (const std::regex_error&) {
        check(before_valid && after_valid, "pattern compiled before the distances were checked");
        return;  // an invalid pattern is the caller's to report
    }
    check(before_valid && after_valid, "an invalid distance was accepted");

    std::regex pattern;
    try {
        pattern.assign(scenario.pattern, std::regex::icase);
    } catch (const std::regex_error&) {
        fail("an invalid pattern was accepted: " + scenario.pattern);
    }
    if (!order_valid) {
        for (const Component* member : selection) {
            check(!std::regex_match(member->name_, pattern),
                  "an anchor was found without a sort order to measure it by");
        }
        check(cells.empty(), "cells without a sort order");
        return;
    }
    check_cells(scenario, selection, cells, pattern);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Scenario scenario = parse(std::string_view(reinterpret_cast<const char*>(data), size));
    check_find_by_name(scenario);
    if (!matches_in_bounded_time(scenario.pattern)) {
        return 0;
    }
    if (scenario.const_pointers) {
        const std::vector<const Component*> selection(scenario.selection.begin(),
                                                      scenario.selection.end());
        check_extract_cells(scenario, selection);
    } else {
        check_extract_cells(scenario, scenario.selection);
    }
    return 0;
}
