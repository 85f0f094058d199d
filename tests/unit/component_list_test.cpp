// The component list in memory: lookup by name, flag index, equality and
// clearing.

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "component_list/component_view.h"
#include "quadrupole.h"
#include "test_support.h"
#include "util/string.h"
#include "zel/Error.h"
#include "zel/sql/Component.h"
#include "zel/sql/ComponentList.h"

namespace zel::sql {
namespace {

Component named(const std::string& name) {
    Component component;
    component.name_ = name;
    return component;
}

TEST(FindComponentByName, FoldsAsciiCaseOnlyAndReturnsTheFirstMatch) {
    ComponentList list;
    list.components_ = {named("QF3A"), named("qf3a"), named(""), named("Q\xc4"), named("BPM1")};
    list.components_[4].real_name_ = "REAL1";
    list.components_[4].name2_ = "SECOND1";
    list.components_[4].friendly_name_ = "Friendly 1";

    const struct {
        std::string lookup;
        int expected_index;  // -1: not found
    } cases[] = {
        {"Qf3A", 0},     {"qf3a", 0},
        {"QF3", -1},     {"QF3A ", -1},  // nothing is trimmed
        {" QF3A", -1},   {"", 2},
        {"q\xc4", 3},    {"Q\xe4", -1},  // bytes of 128 and above are not folded
        {"bpm1", 4},     {"REAL1", -1},  // only name_ counts
        {"SECOND1", -1}, {"Friendly 1", -1},
    };
    const ComponentList& read_only = list;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lookup);
        const Component* expected = c.expected_index < 0
                                        ? nullptr
                                        : &list.components_[static_cast<size_t>(c.expected_index)];
        EXPECT_EQ(list.find_component_by_name(c.lookup), expected);
        EXPECT_EQ(read_only.find_component_by_name(c.lookup), expected);
    }
}

TEST(FindComponentByName, ConstListHandsOutPointersToConst) {
    const ComponentList list;
    static_assert(std::is_same_v<decltype(list.find_component_by_name("")), const Component*>);
    EXPECT_EQ(list.find_component_by_name(""), nullptr);
}

TEST(FindComponentByName, EmptyNameFindsNothingWithoutAnEmptyName) {
    ComponentList list;
    list.components_ = {named("A"), named("B")};
    EXPECT_EQ(list.find_component_by_name(""), nullptr);
}

TEST(GetFlagIdx, UpperCasesTheCallersNameOnly) {
    ComponentList list;
    list.flag_names_ = {"MAG", "DIAG", "Lower", "MAG", "B\xe4M"};
    const struct {
        std::string name;
        int index;
    } cases[] = {
        {"diag", 1},   {"Mag", 0},    {"MAG", 0},  {"BPM", -1},   {"", -1},
        {"Lower", -1},  // stored names are not folded
        {"LOWER", -1}, {"DIAG ", -1}, {"DIA", -1}, {"b\xe4m", 4}, {"B\xc4M", -1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(list.get_flag_idx(c.name), c.index) << '"' << c.name << '"';
    }
    EXPECT_EQ(ComponentList().get_flag_idx("MAG"), -1);
}

Component full_component() {
    return test::quadrupole_qx7();
}

TEST(ComponentEquality, EveryMemberCounts) {
    const Component base = full_component();
    EXPECT_TRUE(base == full_component());

    const std::vector<std::function<void(Component&)>> changes = {
        [](Component& c) { c.name_ = "qx7"; },
        [](Component& c) { c.real_name_ += ' '; },
        [](Component& c) { c.name2_.clear(); },
        [](Component& c) { c.section_ = "L4"; },
        [](Component& c) { c.group_ = "quads"; },
        [](Component& c) { c.class_ = "QUAE"; },
        [](Component& c) { c.type_ = "QF"; },
        [](Component& c) { c.friendly_name_ = "Quadrupole QX8"; },
        [](Component& c) { c.link_name_ = "QX7.PS2"; },
        [](Component& c) { c.x_ = std::nextafter(c.x_, 2.0); },
        [](Component& c) { c.y_ = 0.003; },
        [](Component& c) { c.z_ = 0.0; },
        [](Component& c) { c.s_ = 104.52; },
        [](Component& c) { c.flags_[1] = true; },
        [](Component& c) { c.flags_.push_back(false); },
        [](Component& c) { c.flags_.clear(); },
    };
    for (size_t i = 0; i < changes.size(); ++i) {
        Component changed = full_component();
        changes[i](changed);
        EXPECT_FALSE(changed == base) << "change " << i;
        EXPECT_FALSE(base == changed) << "change " << i;
    }
}

TEST(ComponentEquality, ComparesCoordinatesAsDoubles) {
    Component zero = named("Z");
    Component negative_zero = named("Z");
    negative_zero.s_ = -0.0;
    EXPECT_TRUE(zero == negative_zero);

    for (double Component::*coordinate :
         {&Component::x_, &Component::y_, &Component::z_, &Component::s_}) {
        Component with_nan = full_component();
        with_nan.*coordinate = std::numeric_limits<double>::quiet_NaN();
        const Component copy = with_nan;
        EXPECT_FALSE(with_nan == copy);
        EXPECT_FALSE(with_nan == with_nan);
    }
}

TEST(ComponentListEquality, ComparesComponentsAndFlagNamesInOrder) {
    ComponentList base;
    base.flag_names_ = {"QUAD", "DIAG"};
    base.components_ = {full_component(), named("B")};
    base.components_[1].flags_ = {false, true};

    ComponentList same = base;
    EXPECT_TRUE(base == same);
    EXPECT_FALSE(base != same);
    EXPECT_TRUE(ComponentList() == ComponentList());

    const std::vector<std::function<void(ComponentList&)>> changes = {
        [](ComponentList& l) { std::swap(l.flag_names_[0], l.flag_names_[1]); },
        [](ComponentList& l) { std::swap(l.components_[0], l.components_[1]); },
        [](ComponentList& l) { l.flag_names_[1] = "diag"; },
        [](ComponentList& l) { l.flag_names_.pop_back(); },
        [](ComponentList& l) { l.components_.pop_back(); },
        [](ComponentList& l) { l.components_.push_back(named("C")); },
        [](ComponentList& l) { l.components_[1].name_ = "b"; },
        [](ComponentList& l) { l.components_[0].z_ = std::nan(""); },
    };
    for (size_t i = 0; i < changes.size(); ++i) {
        ComponentList changed = base;
        changes[i](changed);
        EXPECT_FALSE(changed == base) << "change " << i;
        EXPECT_TRUE(changed != base) << "change " << i;
    }
}

TEST(ComponentListEquality, ListWithANanIsUnequalToItsCopy) {
    ComponentList list;
    list.components_ = {named("N")};
    list.components_[0].x_ = std::numeric_limits<double>::quiet_NaN();
    const ComponentList copy = list;
    EXPECT_TRUE(list != copy);
    EXPECT_FALSE(list == list);
}

TEST(ComponentList, ClearEmptiesBothVectors) {
    ComponentList list;
    list.flag_names_ = {"QUAD"};
    list.components_ = {named("QX7"), named("")};
    list.clear();
    EXPECT_TRUE(list.components_.empty());
    EXPECT_TRUE(list.flag_names_.empty());
    EXPECT_EQ(list.find_component_by_name("QX7"), nullptr);
    EXPECT_EQ(list.find_component_by_name(""), nullptr);
    EXPECT_EQ(list.get_flag_idx("QUAD"), -1);
}

// The loader puts each "FLAG_" column into its SELECT as it stands: only a
// plain identifier may go there, or a space or a quote would change what the
// statement reads (FLAG_LINE A read as FLAG_LINE AS A).
TEST(ComponentViewSelect, TakesPlainIdentifiersAsTheyStandAndRefusesTheRest) {
    const std::string bare = detail::component_view_select("MIRAN", {});
    const std::string from = " FROM TAVIK.MIRAN_VIEW_COMPONENTS";
    ASSERT_EQ(bare.substr(bare.size() - from.size()), from);
    const std::string columns = bare.substr(0, bare.size() - from.size());
    for (const std::string name : {"QUAD", "", "a$b#c_9", "LINE_A"}) {
        EXPECT_EQ(detail::component_view_select("MIRAN", {"DRIFT", name}),
                  columns + ", FLAG_DRIFT, FLAG_" + name + from)
            << name;
    }
    for (const std::string name :
         {"LINE A", "q\"uote", "x-y", "a;DROP", "tab\there", "caf\xc3\xa9", "nl\n"}) {
        EXPECT_EQ(test::error_message([&] {
                      detail::component_view_select("MIRAN", {"DRIFT", name});
                  }),
                  "Flag column \"" + util::excerpt_for_message("FLAG_" + name) +
                      "\" refused: not a plain identifier (letters, digits, _, $, #)")
            << name;
    }
}

}  // namespace
}  // namespace zel::sql
