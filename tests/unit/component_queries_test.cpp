// Queries on a loaded component list: sorting along the beam, selection by
// flag, beamline extraction and the cells around anchor components.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <regex>
#include <string>
#include <type_traits>
#include <vector>

#include "zel/Error.h"
#include "zel/sql/ComponentList.h"

namespace zel::sql {
namespace {

using SortOrder = ComponentList::SortOrder;
using Names = std::vector<std::string>;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

Component at(const std::string& name, double z, double s, std::vector<bool> flags = {}) {
    Component c;
    c.name_ = name;
    c.z_ = z;
    c.s_ = s;
    c.flags_ = std::move(flags);
    return c;
}

template <typename ComponentPtr>
Names names_of(const std::vector<ComponentPtr>& components) {
    Names names;
    for (const Component* c : components) {
        names.push_back(c->name_);
    }
    return names;
}

template <typename ComponentPtr>
std::vector<Names> names_of(const std::vector<std::vector<ComponentPtr>>& cells) {
    std::vector<Names> names;
    for (const auto& cell : cells) {
        names.push_back(names_of(cell));
    }
    return names;
}

// Positions are chosen so that the order by z, the order by s and the stored
// order all differ.
class ComponentQueries : public ::testing::Test {
protected:
    ComponentQueries() {
        list_.flag_names_ = {"BL1", "DIAG"};
        list_.components_ = {
            at("A", 3, 10, {true, false}), at("B", 1, 30, {true, true}),
            at("C", 2, 20, {false, true}), at("D", 5, 5, {true, false}),
            at("E", 4, 40, {true, true}),
        };
    }

    ComponentList list_;
    const ComponentList& const_list_ = list_;
};

TEST_F(ComponentQueries, SortedListInEveryOrder) {
    const struct {
        SortOrder order;
        Names expected;
    } cases[] = {
        {SortOrder::none, {"A", "B", "C", "D", "E"}},
        {SortOrder::z, {"B", "C", "A", "E", "D"}},
        {SortOrder::s, {"D", "A", "C", "B", "E"}},
        {static_cast<SortOrder>(7), {"A", "B", "C", "D", "E"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.order));
        EXPECT_EQ(names_of(list_.get_sorted_list(c.order)), c.expected);
        EXPECT_EQ(names_of(const_list_.get_sorted_list(c.order)), c.expected);
    }
}

TEST_F(ComponentQueries, ResultsPointIntoTheList) {
    const std::vector<Component*> all = list_.get_sorted_list(SortOrder::none);
    ASSERT_EQ(all.size(), list_.components_.size());
    for (size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(all[i], &list_.components_[i]);
    }
    EXPECT_EQ(list_.find_components_with_flag("DIAG", SortOrder::z).front(), &list_.components_[1]);
    EXPECT_EQ(const_list_.extract_beamline("BL1", 5, 5, SortOrder::s).front(),
              &list_.components_[3]);
}

TEST_F(ComponentQueries, ConstListGivesPointersToConst) {
    static_assert(std::is_same_v<decltype(const_list_.get_sorted_list(SortOrder::z)),
                                 std::vector<const Component*>>);
    static_assert(std::is_same_v<decltype(const_list_.find_components_with_flag("", SortOrder::z)),
                                 std::vector<const Component*>>);
    static_assert(std::is_same_v<decltype(const_list_.extract_beamline("", 0, 0, SortOrder::z)),
                                 std::vector<const Component*>>);
    static_assert(
        std::is_same_v<decltype(list_.get_sorted_list(SortOrder::z)), std::vector<Component*>>);
    const std::vector<Component*> mutable_result =
        list_.find_components_with_flag("BL1", SortOrder::s);
    const std::vector<const Component*> const_result =
        const_list_.find_components_with_flag("BL1", SortOrder::s);
    EXPECT_TRUE(std::equal(mutable_result.begin(), mutable_result.end(), const_result.begin(),
                           const_result.end()));
}

TEST_F(ComponentQueries, ComponentsWithFlag) {
    const struct {
        std::string flag;
        SortOrder order;
        Names expected;
    } cases[] = {
        {"BL1", SortOrder::none, {"A", "B", "D", "E"}},
        {"bl1", SortOrder::z, {"B", "A", "E", "D"}},
        {"Diag", SortOrder::s, {"C", "B", "E"}},
        {"DIAG", SortOrder::none, {"B", "C", "E"}},
        {"BPM", SortOrder::z, {}},
        {"", SortOrder::none, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.flag);
        EXPECT_EQ(names_of(list_.find_components_with_flag(c.flag, c.order)), c.expected);
        EXPECT_EQ(names_of(const_list_.find_components_with_flag(c.flag, c.order)), c.expected);
    }
}

TEST_F(ComponentQueries, BeamlineBetweenInclusiveBounds) {
    const struct {
        const char* label;
        std::string flag;
        double start;
        double end;
        SortOrder order;
        Names expected;
    } cases[] = {
        {"both bounds on a component", "bl1", 1, 3, SortOrder::z, {"B", "A"}},
        {"equal bounds", "BL1", 3, 3, SortOrder::z, {"A"}},
        {"equal bounds between components", "BL1", 3.5, 3.5, SortOrder::z, {}},
        {"reversed bounds", "BL1", 4, 1, SortOrder::z, {}},
        {"by s, z ignored", "BL1", 5, 30, SortOrder::s, {"D", "A", "B"}},
        {"by s, z ignored, nothing", "BL1", 1, 3, SortOrder::s, {}},
        {"by z, s ignored", "BL1", 5, 30, SortOrder::z, {"D"}},
        {"unbounded", "DIAG", -inf, inf, SortOrder::z, {"B", "C", "E"}},
        {"unknown flag", "BPM", -inf, inf, SortOrder::s, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(names_of(list_.extract_beamline(c.flag, c.start, c.end, c.order)), c.expected);
        EXPECT_EQ(names_of(const_list_.extract_beamline(c.flag, c.start, c.end, c.order)),
                  c.expected);
    }
}

TEST_F(ComponentQueries, BeamlineRefusesSortOrderNoneWhetherOrNotTheFlagExists) {
    const std::string message = "SortOrder::none is not allowed for extract_beamline()";
    for (const std::string flag : {"BL1", "BPM"}) {
        try {
            list_.extract_beamline(flag, -inf, inf, SortOrder::none);
            ADD_FAILURE() << "no Error for " << flag;
        } catch (const Error& e) {
            EXPECT_EQ(e.get_message(), message);
        }
        try {
            const_list_.extract_beamline(flag, -inf, inf, SortOrder::none);
            ADD_FAILURE() << "no Error for " << flag;
        } catch (const Error& e) {
            EXPECT_EQ(e.get_message(), message);
        }
    }
    EXPECT_THROW(ComponentList().extract_beamline("X", 0, 1, SortOrder::none), Error);
}

TEST(ComponentQueriesOnEmptyList, GiveEmptyResults) {
    const ComponentList empty;
    EXPECT_TRUE(empty.get_sorted_list(SortOrder::z).empty());
    EXPECT_TRUE(empty.find_components_with_flag("BL1", SortOrder::s).empty());
    EXPECT_TRUE(empty.extract_beamline("BL1", -inf, inf, SortOrder::z).empty());
}

TEST(ComponentQueriesWithBrokenInvariant, TooFewFlagValuesMeanTheFlagIsNotCarried) {
    ComponentList list;
    list.flag_names_ = {"BL1", "DIAG", "MAG"};
    list.components_ = {at("FULL", 1, 1, {true, true, true}), at("ONE", 2, 2, {true}),
                        at("NONE", 3, 3)};
    EXPECT_EQ(names_of(list.find_components_with_flag("BL1", SortOrder::none)),
              (Names{"FULL", "ONE"}));
    EXPECT_EQ(names_of(list.find_components_with_flag("MAG", SortOrder::z)), Names{"FULL"});
    EXPECT_EQ(names_of(list.extract_beamline("DIAG", -inf, inf, SortOrder::s)), Names{"FULL"});
}

// Enough components that std::sort leaves its insertion-sort path, with NaN
// positions spread through them.
ComponentList list_with_nans() {
    ComponentList list;
    list.flag_names_ = {"BL1"};
    for (int i = 0; i < 200; ++i) {
        const double position = (i % 3 == 0) ? nan : static_cast<double>((i * 37) % 101);
        list.components_.push_back(at("C" + std::to_string(i), position, -position, {true}));
    }
    return list;
}

TEST(ComponentQueriesWithNan, SortPutsNanPositionsLast) {
    const ComponentList list = list_with_nans();
    for (const SortOrder order : {SortOrder::z, SortOrder::s}) {
        const std::vector<const Component*> sorted = list.get_sorted_list(order);
        ASSERT_EQ(sorted.size(), list.components_.size());
        const auto position = [order](const Component* c) {
            return order == SortOrder::z ? c->z_ : c->s_;
        };
        const auto first_nan = std::find_if(sorted.begin(), sorted.end(), [&](const Component* c) {
            return std::isnan(position(c));
        });
        EXPECT_TRUE(std::all_of(first_nan, sorted.end(),
                                [&](const Component* c) { return std::isnan(position(c)); }));
        EXPECT_EQ(sorted.end() - first_nan, 67);
        EXPECT_TRUE(std::is_sorted(
            sorted.begin(), first_nan,
            [&](const Component* a, const Component* b) { return position(a) < position(b); }));
        std::vector<const Component*> storage = list.get_sorted_list(SortOrder::none);
        std::sort(storage.begin(), storage.end());
        std::vector<const Component*> permutation = sorted;
        std::sort(permutation.begin(), permutation.end());
        EXPECT_EQ(permutation, storage);
    }
}

TEST(ComponentQueriesWithNan, BeamlineKeepsNanPositionsWhateverTheBounds) {
    ComponentList list;
    list.flag_names_ = {"BL1"};
    list.components_ = {at("N", nan, 1, {true}), at("A", 1, nan, {true}), at("B", 2, 2, {true})};
    EXPECT_EQ(names_of(list.extract_beamline("BL1", 10, 20, SortOrder::z)), Names{"N"});
    EXPECT_EQ(names_of(list.extract_beamline("BL1", 20, 10, SortOrder::s)), Names{"A"});
    EXPECT_EQ(names_of(list.extract_beamline("BL1", 0, 5, SortOrder::z)), (Names{"A", "B", "N"}));
}

// --- cells around components ---------------------------------------------------

// A selection along s with z = -s, so that the two sort orders disagree.
class Cells : public ::testing::Test {
protected:
    Cells() {
        for (const auto& [name, s] : std::vector<std::pair<std::string, double>>{
                 {"D5", 5}, {"Q1", 1}, {"Q9", 9}, {"D0", 0}, {"Q3", 3}, {"D2", 2}, {"X1.5", 1.5}}) {
            list_.components_.push_back(at(name, -s, s));
        }
        // Everything but X1.5, shuffled.
        for (size_t i = 0; i + 1 < list_.components_.size(); ++i) {
            selection_.push_back(&list_.components_[i]);
        }
    }

    ComponentList list_;
    std::vector<Component*> selection_;
};

TEST_F(Cells, OneCellPerAnchorInAnchorOrderWithOverlaps) {
    const std::vector<Component*> before = selection_;
    const auto cells =
        ComponentList::extract_cells_around_components(selection_, "q.*", SortOrder::s, -1, 2);
    // X1.5 lies in the first window but is not part of the selection.
    EXPECT_EQ(names_of(cells),
              (std::vector<Names>{{"D0", "Q1", "D2", "Q3"}, {"D2", "Q3", "D5"}, {"Q9"}}));
    EXPECT_EQ(selection_, before);
}

TEST_F(Cells, WindowsAlongZIgnoreS) {
    const auto cells =
        ComponentList::extract_cells_around_components(selection_, "Q.*", SortOrder::z, -1, 2);
    EXPECT_EQ(names_of(cells),
              (std::vector<Names>{{"Q9"}, {"Q3", "D2", "Q1"}, {"D2", "Q1", "D0"}}));
}

TEST_F(Cells, ConstPointersGiveConstCells) {
    const std::vector<const Component*> selection(selection_.begin(), selection_.end());
    const auto cells =
        ComponentList::extract_cells_around_components(selection, "Q3", SortOrder::s, 0, 0);
    static_assert(
        std::is_same_v<decltype(cells), const std::vector<std::vector<const Component*>>>);
    ASSERT_EQ(cells.size(), 1U);
    EXPECT_EQ(cells[0], std::vector<const Component*>{&list_.components_[4]});
}

TEST_F(Cells, PatternMatchesTheWholeNameIgnoringCase) {
    list_.components_[1].name_ = "Q1A";
    list_.components_[4].name_ = "q1";
    const struct {
        std::string pattern;
        Names anchors;
    } cases[] = {
        {"Q1", {"q1"}}, {"q1.*", {"Q1A", "q1"}},      {"Q", {}},
        {"1", {}},      {"d\\d", {"D0", "D2", "D5"}}, {"Q1A|Q9", {"Q1A", "Q9"}},
        {"", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pattern);
        const auto cells = ComponentList::extract_cells_around_components(selection_, c.pattern,
                                                                          SortOrder::s, 0, 0);
        Names anchors;
        for (const auto& cell : cells) {
            ASSERT_EQ(cell.size(), 1U);
            anchors.push_back(cell[0]->name_);
        }
        EXPECT_EQ(anchors, c.anchors);
    }
}

TEST(CellsAroundComponents, ZeroWidthWindowHoldsEverythingAtTheAnchorsPosition) {
    ComponentList list;
    list.components_ = {at("A", 0, 1), at("Q", 0, 2), at("B", 0, 2), at("C", 0, 2.0000001)};
    const auto cells = ComponentList::extract_cells_around_components(
        list.get_sorted_list(SortOrder::none), "Q", SortOrder::s, 0, 0);
    ASSERT_EQ(cells.size(), 1U);
    Names members = names_of(cells[0]);
    std::sort(members.begin(), members.end());  // equal positions have no defined order
    EXPECT_EQ(members, (Names{"B", "Q"}));
}

TEST(CellsAroundComponents, AnchorsCloseTogetherShareTheirCells) {
    ComponentList list;
    list.components_ = {at("Q2", 0, 11), at("Q1", 0, 10)};
    const auto cells = ComponentList::extract_cells_around_components(
        list.get_sorted_list(SortOrder::none), "Q\\d", SortOrder::s, -2, 2);
    EXPECT_EQ(names_of(cells), (std::vector<Names>{{"Q1", "Q2"}, {"Q1", "Q2"}}));
}

TEST(CellsAroundComponents, NanAnchorGetsAnEmptyCellAndNanMembersNone) {
    ComponentList list;
    list.components_ = {at("QN", 0, nan), at("Q1", 0, 1), at("DN", 0, nan), at("D2", 0, 2)};
    const auto cells = ComponentList::extract_cells_around_components(
        list.get_sorted_list(SortOrder::none), "Q.*", SortOrder::s, -inf, inf);
    EXPECT_EQ(names_of(cells), (std::vector<Names>{{"Q1", "D2"}, {}}));
}

enum class Outcome { cells, error, regex_error };

TEST(CellsAroundComponents, ChecksItsArgumentsInOrder) {
    ComponentList list;
    list.components_ = {at("Q1", 1, 1), at("D2", 2, 2)};
    const std::vector<Component*> matching = list.get_sorted_list(SortOrder::none);
    const std::vector<Component*> nothing;
    const struct {
        const char* label;
        const std::vector<Component*>& selection;
        std::string pattern;
        SortOrder order;
        double before;
        double after;
        Outcome outcome;
        std::string message;
    } cases[] = {
        {"before positive, empty selection", nothing, "(", SortOrder::none, 0.5, -0.5,
         Outcome::error, "meters_before must be negative or zero"},
        {"before not a number", matching, "Q1", SortOrder::s, nan, 1, Outcome::error,
         "meters_before must be negative or zero"},
        {"after negative, bad pattern", nothing, "(", SortOrder::none, -1, -0.5, Outcome::error,
         "meters_after must be positive or zero"},
        {"after not a number", matching, "Q1", SortOrder::s, 0, nan, Outcome::error,
         "meters_after must be positive or zero"},
        {"bad pattern before the sort order", matching, "[Q", SortOrder::none, -1, 1,
         Outcome::regex_error, ""},
        {"bad pattern, empty selection", nothing, "(", SortOrder::s, 0, 0, Outcome::regex_error,
         ""},
        {"sort order none, no anchor", matching, "X.*", SortOrder::none, -1, 1, Outcome::cells, ""},
        {"sort order none with an anchor", matching, "d2", SortOrder::none, -1, 1, Outcome::error,
         "Invalid sort order (must be z or s)"},
        {"empty selection", nothing, "Q.*", SortOrder::z, -0.0, 0, Outcome::cells, ""},
        {"infinite window", matching, "D2", SortOrder::z, -inf, inf, Outcome::cells, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        switch (c.outcome) {
            case Outcome::cells:
                EXPECT_NO_THROW(ComponentList::extract_cells_around_components(
                    c.selection, c.pattern, c.order, c.before, c.after));
                break;
            case Outcome::regex_error:
                EXPECT_THROW(ComponentList::extract_cells_around_components(
                                 c.selection, c.pattern, c.order, c.before, c.after),
                             std::regex_error);
                break;
            case Outcome::error:
                try {
                    ComponentList::extract_cells_around_components(c.selection, c.pattern, c.order,
                                                                   c.before, c.after);
                    ADD_FAILURE() << "no Error";
                } catch (const Error& e) {
                    EXPECT_EQ(e.get_message(), c.message);
                }
                break;
        }
    }
    EXPECT_TRUE(
        ComponentList::extract_cells_around_components(matching, "X.*", SortOrder::none, -1, 1)
            .empty());
}

}  // namespace
}  // namespace zel::sql
