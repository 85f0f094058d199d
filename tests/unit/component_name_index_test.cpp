// The name index behind find_component_by_name, tested against a plain scan:
// on random lists, after the loads, copies and moves that carry it, and after
// every kind of direct change to components_ with the rebuild rule of
// ComponentList.h followed.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"
#include "zel/sql/Component.h"
#include "zel/sql/ComponentList.h"

namespace zel::sql {
namespace {

// The lookup written out as the list's contract states it, independent of the
// library: first in list order, only 'A'-'Z' folded onto 'a'-'z'.
const Component* reference_scan(const ComponentList& list, const std::string& name) {
    const auto fold = [](char c) {
        return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    };
    for (const Component& component : list.components_) {
        const std::string& candidate = component.name_;
        if (candidate.size() == name.size() &&
            std::equal(candidate.begin(), candidate.end(), name.begin(),
                       [&](char a, char b) { return fold(a) == fold(b); })) {
            return &component;
        }
    }
    return nullptr;
}

// Bytes next to both letter ranges ('@' '[' '`' '{'), letters of both cases
// and bytes of 128 and above that differ only by 0x20, as letters do.
constexpr char alphabet[] = {'a', 'A', 'q', 'Q', 'z',    'Z',    '@',    '[',
                             '`', '{', '1', '_', '\xe4', '\xc4', '\xff', '\xdf'};

class RandomNames {
public:
    explicit RandomNames(unsigned seed) : random_(seed) {}

    // Short names from a small alphabet, so that lists hold many duplicates
    // and near-duplicates; one name in ten is empty.
    std::string name() {
        const std::size_t length = pick(10) == 0 ? 0 : 1 + pick(4);
        std::string name;
        for (std::size_t i = 0; i < length; ++i) {
            name.push_back(alphabet[pick(sizeof alphabet)]);
        }
        return name;
    }

    // `name` with the case of each ASCII letter flipped at random.
    std::string recased(std::string name) {
        for (char& c : name) {
            if (pick(2) == 0 && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) {
                c = static_cast<char>(c ^ 0x20);
            }
        }
        return name;
    }

    std::size_t pick(std::size_t bound) {
        return std::uniform_int_distribution<std::size_t>(0, bound - 1)(random_);
    }

    std::mt19937& engine() { return random_; }

private:
    std::mt19937 random_;
};

Component named(std::string name) {
    Component component;
    component.name_ = std::move(name);
    return component;
}

// Every stored name in a new spelling, and names that may be absent: both
// overloads must agree with the scan on each.
void expect_lookups_match_scan(ComponentList& list, RandomNames& names) {
    std::vector<std::string> lookups;
    for (const Component& component : list.components_) {
        lookups.push_back(component.name_);
        lookups.push_back(names.recased(component.name_));
    }
    for (int i = 0; i < 50; ++i) {
        lookups.push_back(names.name());
    }
    const ComponentList& read_only = list;
    for (const std::string& lookup : lookups) {
        const Component* expected = reference_scan(list, lookup);
        ASSERT_EQ(list.find_component_by_name(lookup), expected) << '"' << lookup << '"';
        ASSERT_EQ(read_only.find_component_by_name(lookup), expected) << '"' << lookup << '"';
    }
}

ComponentList random_list(RandomNames& names, std::size_t size) {
    ComponentList list;
    for (std::size_t i = 0; i < size; ++i) {
        list.components_.push_back(named(names.name()));
    }
    list.rebuild_name_index();
    return list;
}

TEST(NameIndex, AgreesWithTheScanOnRandomLists) {
    RandomNames names(20240523);
    for (const std::size_t size : {0u, 1u, 2u, 7u, 64u, 1000u, 5000u}) {
        SCOPED_TRACE(size);
        ComponentList list = random_list(names, size);
        expect_lookups_match_scan(list, names);
    }
}

TEST(NameIndex, IsBuiltByReadFromFileAndCarriedByCopiesAndMoves) {
    RandomNames names(7);
    test::TempDir dir;
    ComponentList written = random_list(names, 500);
    written.write_to_file(dir.file("list.txt"));

    ComponentList read;
    read.read_from_file(dir.file("list.txt"));
    ASSERT_EQ(read, written);
    expect_lookups_match_scan(read, names);

    ComponentList copied(read);
    expect_lookups_match_scan(copied, names);
    ComponentList assigned;
    assigned.components_ = {named("stale")};
    assigned = read;
    expect_lookups_match_scan(assigned, names);

    ComponentList moved(std::move(copied));
    expect_lookups_match_scan(moved, names);
    ComponentList move_assigned;
    move_assigned = std::move(assigned);
    expect_lookups_match_scan(move_assigned, names);

    // The copies point into themselves, never into the list they came from.
    const Component* found = moved.find_component_by_name(moved.components_[0].name_);
    ASSERT_NE(found, nullptr);
    EXPECT_GE(found, moved.components_.data());
    EXPECT_LT(found, moved.components_.data() + moved.components_.size());

    read.clear();
    expect_lookups_match_scan(read, names);
    read.components_ = {named("QF1")};  // filled by hand after clear(): no index, the scan
    EXPECT_EQ(read.find_component_by_name("qf1"), &read.components_[0]);
}

// Each kind of direct change to components_, applied many times in a random
// order, with the rule of ComponentList.h followed: appending needs no
// rebuild, everything else that touches names or positions does.
TEST(NameIndex, AgreesWithTheScanAfterDirectChangesWithTheRuleFollowed) {
    RandomNames names(99);
    ComponentList list = random_list(names, 300);
    for (int step = 0; step < 400; ++step) {
        auto& components = list.components_;
        switch (names.pick(5)) {
            case 0:  // append: found by the scan until the next rebuild
                components.push_back(named(names.name()));
                break;
            case 1:  // erase
                if (!components.empty()) {
                    components.erase(components.begin() +
                                     static_cast<std::ptrdiff_t>(names.pick(components.size())));
                }
                list.rebuild_name_index();
                break;
            case 2:  // rename in place
                if (!components.empty()) {
                    components[names.pick(components.size())].name_ = names.name();
                }
                list.rebuild_name_index();
                break;
            case 3:  // reorder
                std::shuffle(components.begin(), components.end(), names.engine());
                list.rebuild_name_index();
                break;
            default:  // a change that leaves names and positions alone
                if (!components.empty()) {
                    components[names.pick(components.size())].z_ += 1.0;
                }
                break;
        }
        ASSERT_NO_FATAL_FAILURE(expect_lookups_match_scan(list, names)) << "step " << step;
    }
}

// Without a rebuild, the index still gives the scan's answer whenever the
// case of ComponentList.h does not arise: an entry past the end, or one whose
// component no longer carries the name, sends the lookup to the scan.
TEST(NameIndex, FallsBackToTheScanWhenAnEntryNoLongerMatches) {
    ComponentList list;
    list.components_ = {named("A"), named("B"), named("C"), named("b")};
    list.rebuild_name_index();

    list.components_[1].name_ = "X";  // the indexed B renamed: the later b is found
    EXPECT_EQ(list.find_component_by_name("B"), &list.components_[3]);

    list.components_.erase(list.components_.begin());  // every entry now one too far
    EXPECT_EQ(list.find_component_by_name("A"), nullptr);
    EXPECT_EQ(list.find_component_by_name("c"), &list.components_[1]);
    EXPECT_EQ(list.find_component_by_name("b"), &list.components_[2]);

    list.components_.pop_back();  // C's entry now points past the end
    EXPECT_EQ(list.find_component_by_name("C"), &list.components_[1]);
    EXPECT_EQ(list.find_component_by_name("B"), nullptr);
    EXPECT_EQ(list.find_component_by_name("X"), &list.components_[0]);
}

// A name the index does not know is looked for only among the components
// appended since the build: they are found, the first of them in list order,
// and an indexed name keeps its first component when a duplicate is appended.
TEST(NameIndex, FindsComponentsAppendedSinceTheBuild) {
    ComponentList list;
    list.components_ = {named("A"), named("B")};
    list.rebuild_name_index();

    list.components_.push_back(named("C"));
    list.components_.push_back(named("b"));
    list.components_.push_back(named("c"));
    EXPECT_EQ(list.find_component_by_name("c"), &list.components_[2]);
    EXPECT_EQ(list.find_component_by_name("B"), &list.components_[1]);
    const ComponentList& read_only = list;
    EXPECT_EQ(read_only.find_component_by_name("C"), &list.components_[2]);

    // Filled by hand and never indexed: every component counts as appended.
    ComponentList unindexed;
    unindexed.components_ = {named("QF1"), named("qf1")};
    EXPECT_EQ(unindexed.find_component_by_name("Qf1"), &unindexed.components_[0]);
}

// A name that no component carries stays absent, before and after appending
// other names, after a rebuild, and on an empty list with and without index.
TEST(NameIndex, AMissStaysAMiss) {
    ComponentList list;
    EXPECT_EQ(list.find_component_by_name("QF1"), nullptr);
    list.rebuild_name_index();
    EXPECT_EQ(list.find_component_by_name("QF1"), nullptr);

    list.components_ = {named("QF10"), named("QF"), named("qf1 "), named("")};
    EXPECT_EQ(list.find_component_by_name("QF1"), nullptr);
    list.rebuild_name_index();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(list.find_component_by_name("QF1"), nullptr);
    }
    list.components_.push_back(named("QF2"));
    EXPECT_EQ(list.find_component_by_name("QF1"), nullptr);
    EXPECT_EQ(list.find_component_by_name("qf2"), &list.components_[4]);
    list.rebuild_name_index();
    EXPECT_EQ(list.find_component_by_name("QF1"), nullptr);
    EXPECT_EQ(list.find_component_by_name(""), &list.components_[3]);
}

// Renaming in place is one of the changes after which the rule asks for
// rebuild_name_index(): until then a new name among the indexed components
// is not seen (the lookup looks only past them, which proves that a miss
// walks nothing), and afterwards the new name is found and the old one gone.
TEST(NameIndex, RenameInPlaceIsSeenAfterRebuild) {
    ComponentList list;
    list.components_ = {named("A"), named("B"), named("C")};
    list.rebuild_name_index();

    list.components_[1].name_ = "X";
    EXPECT_EQ(list.find_component_by_name("x"), nullptr);
    list.rebuild_name_index();
    EXPECT_EQ(list.find_component_by_name("x"), &list.components_[1]);
    EXPECT_EQ(list.find_component_by_name("B"), nullptr);
    EXPECT_EQ(list.find_component_by_name("c"), &list.components_[2]);

    // The same for a list read from a file, whose index the load built.
    test::TempDir dir;
    list.write_to_file(dir.file("list.txt"));
    ComponentList from_file;
    from_file.read_from_file(dir.file("list.txt"));
    from_file.components_[2].name_ = "Y";
    EXPECT_EQ(from_file.find_component_by_name("Y"), nullptr);
    from_file.rebuild_name_index();
    EXPECT_EQ(from_file.find_component_by_name("y"), &from_file.components_[2]);
}

// The documented blind spot, shown once for every operation that builds the
// index: a component before the indexed one renamed in place to its name is
// not seen until rebuild_name_index(). That it is not seen proves the index is
// there.
TEST(NameIndex, BlindSpotIsTheDocumentedOneAndRebuildClosesIt) {
    test::TempDir dir;
    ComponentList source;
    source.components_ = {named("A"), named("B")};
    source.write_to_file(dir.file("list.txt"));

    ComponentList from_file;
    from_file.read_from_file(dir.file("list.txt"));
    ComponentList copied(from_file);
    ComponentList assigned;
    assigned = from_file;
    ComponentList moved_from_copy(copied);
    ComponentList moved(std::move(moved_from_copy));

    for (ComponentList* list : {&from_file, &copied, &assigned, &moved}) {
        list->components_[0].name_ = "b";
        EXPECT_EQ(list->find_component_by_name("B"), &list->components_[1]);
        list->rebuild_name_index();
        EXPECT_EQ(list->find_component_by_name("B"), &list->components_[0]);
    }
}

}  // namespace
}  // namespace zel::sql
