// zel_sql.ComponentList and zel_sql.Component.
//
// Lifetime: a load never changes a list that Python has seen. It fills a new
// ComponentList and then puts it in place of the old one; every Component
// handed out holds a reference to the list it came from. A component thus
// stays valid as long as it lives, also when its ComponentList is dropped or
// reloaded, and keeps showing the values of the load it came from.

#include "component_list.h"

#include <pybind11/stl.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "component_columns.h"
#include "database.h"
#include "text.h"
#include "zel/sql/Component.h"
#include "zel/sql/ComponentList.h"

namespace py = pybind11;

namespace zel::python {
namespace {

using sql::Component;
using sql::ComponentList;
using SortOrder = ComponentList::SortOrder;
using ListPtr = std::shared_ptr<const ComponentList>;

// One component as Python sees it: a pointer into a loaded list, together
// with that list.
struct ComponentRef {
    ListPtr list;
    const Component* component;
};

// The list behind a Python ComponentList.
class SharedComponentList {
public:
    const ListPtr& current() const noexcept { return current_; }

    // Runs `load` on a new, empty list and makes that list the current one,
    // whether `load` succeeds or throws: a failed load leaves behind what the
    // same C++ call leaves in its list. `load` lets go of the GIL itself.
    std::string reload(const std::function<std::string(ComponentList&)>& load) {
        auto fresh = std::make_shared<ComponentList>();
        try {
            std::string message = load(*fresh);
            current_ = std::move(fresh);
            return message;
        } catch (...) {
            current_ = std::move(fresh);
            throw;
        }
    }

    std::vector<ComponentRef> refs(const std::vector<const Component*>& components) const {
        std::vector<ComponentRef> result;
        result.reserve(components.size());
        for (const Component* component : components) {
            result.push_back({current_, component});
        }
        return result;
    }

private:
    ListPtr current_ = std::make_shared<const ComponentList>();
};

SortOrder parse_order(const std::string& order) {
    if (order == "none") {
        return SortOrder::none;
    }
    if (order == "z") {
        return SortOrder::z;
    }
    if (order == "s") {
        return SortOrder::s;
    }
    throw py::value_error("order must be \"none\", \"z\" or \"s\", not \"" + order + "\"");
}

std::vector<std::vector<ComponentRef>> cells_around(const std::vector<ComponentRef>& components,
                                                    const std::string& name_regex,
                                                    const std::string& order, double meters_before,
                                                    double meters_after) {
    const SortOrder sort_order = parse_order(order);
    // The members may come from several lists; each cell member goes back to
    // the list it came from.
    std::unordered_map<const Component*, const ListPtr*> owners;
    std::vector<const Component*> pointers;
    pointers.reserve(components.size());
    for (const ComponentRef& ref : components) {
        owners.emplace(ref.component, &ref.list);
        pointers.push_back(ref.component);
    }
    const auto cells = ComponentList::extract_cells_around_components(
        pointers, name_regex, sort_order, meters_before, meters_after);
    std::vector<std::vector<ComponentRef>> result;
    result.reserve(cells.size());
    for (const auto& cell : cells) {
        std::vector<ComponentRef>& members = result.emplace_back();
        members.reserve(cell.size());
        for (const Component* component : cell) {
            members.push_back({*owners.at(component), component});
        }
    }
    return result;
}

py::dict flags_of(const ComponentRef& ref) {
    const auto& names = ref.list->flag_names_;
    const auto& values = ref.component->flags_;
    py::dict flags;
    for (std::size_t i = 0; i < names.size() && i < values.size(); ++i) {
        py::str name = to_str(names[i]);
        // A name read twice from a file: the first one counts, as in the
        // queries by flag.
        if (!flags.contains(name)) {
            flags[name] = py::bool_(values[i]);
        }
    }
    return flags;
}

// The columns of components that a selection returned. They may come from
// several lists, as long as these name the same flags.
py::dict columns_of(const std::vector<ComponentRef>& components) {
    std::vector<const Component*> pointers;
    pointers.reserve(components.size());
    const ComponentList* flags_from = nullptr;
    for (const ComponentRef& ref : components) {
        if (flags_from != nullptr && flags_from != ref.list.get() &&
            flags_from->flag_names_ != ref.list->flag_names_) {
            throw py::value_error("the components come from lists with different flags");
        }
        flags_from = ref.list.get();
        pointers.push_back(ref.component);
    }
    static const std::vector<std::string> no_flags;
    return component_columns(pointers, flags_from != nullptr ? flags_from->flag_names_ : no_flags);
}

void bind_component(py::module_& module) {
    py::class_<ComponentRef> cls(
        module, "Component",
        "One machine component of a loaded list: its names and classification texts, its "
        "position in meters and its flags. Read-only. A component keeps the list it came from "
        "alive and shows the values of the load that produced it, also after that "
        "ComponentList was reloaded or dropped.");

    const auto text = [&cls](const char* name, std::string Component::*member, const char* doc) {
        cls.def_property_readonly(
            name, [member](const ComponentRef& ref) { return Text{ref.component->*member}; }, doc);
    };
    text("name", &Component::name_, "The name (NAME); the key of find_component_by_name.");
    text("real_name", &Component::real_name_, "REAL_NAME, as stored.");
    text("name2", &Component::name2_, "NAME2, as stored.");
    text("section", &Component::section_, "SECTION, as stored.");
    text("group", &Component::group_, "GROUP_, as stored.");
    text("class_name", &Component::class_, "CLASS, as stored.");
    text("type", &Component::type_, "TYPE_, as stored.");
    text("friendly_name", &Component::friendly_name_, "FRIENDLY_NAME, as stored.");
    text("link_name", &Component::link_name_, "LINK_NAME, as stored.");

    const auto number = [&cls](const char* name, double Component::*member, const char* doc) {
        cls.def_property_readonly(
            name, [member](const ComponentRef& ref) { return ref.component->*member; }, doc);
    };
    number("x", &Component::x_, "Coordinate x in meters.");
    number("y", &Component::y_, "Coordinate y in meters.");
    number("z", &Component::z_, "Coordinate z in meters; the key of order \"z\".");
    number("s", &Component::s_, "Position along the beam path in meters; the key of order \"s\".");

    cls.def_property_readonly("flags", &flags_of,
                              "The flags as a new dict: flag name -> whether the component "
                              "carries it, in the order of the list's flag_names.");
    cls.def(
        "__eq__",
        [](const ComponentRef& a, const ComponentRef& b) { return *a.component == *b.component; },
        py::is_operator(), py::arg("other"),
        "Equal texts, coordinates (NaN equals nothing) and flag values, wherever the two "
        "come from.");
    cls.def(
        "__hash__", [](const ComponentRef& ref) { return py::hash(to_str(ref.component->name_)); },
        "The hash of the name: equal components have equal names.");
    cls.def(
        "__repr__",
        [](const ComponentRef& ref) {
            const Component& c = *ref.component;
            return py::str(
                       "Component(name={!r}, class_name={!r}, type={!r}, x={!r}, y={!r}, "
                       "z={!r}, s={!r})")
                .format(to_str(c.name_), to_str(c.class_), to_str(c.type_), c.x_, c.y_, c.z_, c.s_);
        },
        "Name, class, type and position.");
}

}  // namespace

void bind_component_list(py::module_& module) {
    bind_component(module);

    py::class_<SharedComponentList> cls(
        module, "ComponentList",
        "All machine components of one facility with the names of their flags: loaded from "
        "the facility's database view TAVIK.<FACILITY>_VIEW_COMPONENTS, with a backup text file "
        "as fallback, and queried in memory. Orders are \"none\" (as stored), \"z\" or \"s\" "
        "(ascending by that coordinate).");
    cls.def(py::init<>(), "An empty list.");

    cls.def(
        "read_from_db_with_backup",
        [](SharedComponentList& self, LockedDatabase& db, const Text& facility,
           const FilePath& backup_file) {
            refuse_nul(facility.bytes, "facility name");
            return Text{self.reload([&](ComponentList& list) {
                return db.use([&](sql::Database& database) {
                    return list.read_from_db_with_backup(database, facility.bytes,
                                                         backup_file.bytes);
                });
            })};
        },
        py::arg("db"), py::arg("facility"), py::arg("backup_file") = "",
        "Loads the list of `facility` (any accepted spelling) from the database and writes it "
        "to `backup_file` (default: db_component_list_<FACILITY>.txt in the working "
        "directory). When the database fails, the list is read from that file instead and "
        "written back.\n\n"
        "Returns \"\" on full success, the database's message when the list came from the "
        "file, the write's message when the backup could not be written. Raises Error "
        "\"<database message>; <file message>\" when both fail.");
    cls.def(
        "read_from_db",
        [](SharedComponentList& self, LockedDatabase& db, const Text& facility) {
            refuse_nul(facility.bytes, "facility name");
            self.reload([&](ComponentList& list) {
                db.use(
                    [&](sql::Database& database) { list.read_from_db(database, facility.bytes); });
                return std::string();
            });
        },
        py::arg("db"), py::arg("facility"),
        "Loads the list of `facility` from its view, without a backup file. Raises Error for "
        "every database failure; the list is then empty or holds only the flag names.");
    cls.def(
        "read_from_file",
        [](SharedComponentList& self, const FilePath& filename) {
            self.reload([&](ComponentList& list) {
                py::gil_scoped_release unlocked;
                list.read_from_file(filename.bytes);
                return std::string();
            });
        },
        py::arg("filename"),
        "Replaces the list by the content of a component list file. Raises Error naming the "
        "line or block that could not be read; the list keeps what was read until then.");
    cls.def(
        "write_to_file",
        [](const SharedComponentList& self, const FilePath& filename) {
            ListPtr list = self.current();
            py::gil_scoped_release unlocked;
            list->write_to_file(filename.bytes);
        },
        py::arg("filename"),
        "Writes the list to a component list file; the previous file is replaced only once "
        "the new one is complete. Raises Error when it cannot be written.");

    cls.def_property_readonly(
        "flag_names",
        [](const SharedComponentList& self) {
            std::vector<Text> names;
            for (const std::string& name : self.current()->flag_names_) {
                names.push_back({name});
            }
            return names;
        },
        "The flag names, in the order of every component's flags.");
    cls.def(
        "__len__",
        [](const SharedComponentList& self) { return self.current()->components_.size(); },
        "The number of components.");
    cls.def(
        "__iter__",
        [](const SharedComponentList& self) {
            return py::iter(py::cast(self.refs(self.current()->get_sorted_list(SortOrder::none))));
        },
        "The components in stored order.");
    cls.def(
        "__repr__",
        [](const SharedComponentList& self) {
            return py::str("<zel_sql.ComponentList: {} components, {} flags>")
                .format(self.current()->components_.size(), self.current()->flag_names_.size());
        },
        "The numbers of components and flags.");

    cls.def(
        "find_component_by_name",
        [](const SharedComponentList& self, const Text& name) -> py::object {
            const Component* found = self.current()->find_component_by_name(name.bytes);
            if (found == nullptr) {
                return py::none();
            }
            return py::cast(ComponentRef{self.current(), found});
        },
        py::arg("name"),
        "The first component whose name equals `name` with ASCII letter case ignored; None "
        "when there is none.");
    cls.def(
        "find_components_with_flag",
        [](const SharedComponentList& self, const Text& flag, const std::string& order) {
            return self.refs(
                self.current()->find_components_with_flag(flag.bytes, parse_order(order)));
        },
        py::arg("flag"), py::arg("order") = "none",
        "The components that carry `flag` (case ignored for upper-case flag names), sorted; "
        "empty for an unknown flag.");
    cls.def(
        "extract_beamline",
        [](const SharedComponentList& self, const Text& flag, double start, double end,
           const std::string& order) {
            return self.refs(
                self.current()->extract_beamline(flag.bytes, start, end, parse_order(order)));
        },
        py::arg("flag"), py::arg("start"), py::arg("end"), py::arg("order") = "s",
        "The components of beamline `flag` whose z (order \"z\") or s (order \"s\") lies "
        "between `start` and `end`, both included, sorted by it. A component whose coordinate "
        "is NaN is always included. Raises Error for order \"none\".");
    cls.def(
        "get_sorted_list",
        [](const SharedComponentList& self, const std::string& order) {
            return self.refs(self.current()->get_sorted_list(parse_order(order)));
        },
        py::arg("order"), "All components, sorted.");
    cls.def_static(
        "extract_cells_around_components", &cells_around, py::arg("components"),
        py::arg("name_regex"), py::arg("order"), py::arg("meters_before"), py::arg("meters_after"),
        "For every member of `components` whose name matches `name_regex` (ECMAScript "
        "grammar, whole name, case ignored), in ascending position along `order` (\"z\" or "
        "\"s\"), the cell of members within [position + meters_before, position + "
        "meters_after], sorted by position. Cells may overlap and are never merged.\n\n"
        "Raises Error when meters_before > 0, meters_after < 0 or, once a name matches, the "
        "order is \"none\"; re.error for an invalid pattern.");

    cls.def(
        "to_numpy",
        [](const SharedComponentList& self) {
            const ListPtr list = self.current();
            return component_columns(list->get_sorted_list(SortOrder::none), list->flag_names_);
        },
        "The components in stored order as columns: a dict of NumPy arrays. The nine texts "
        "(\"name\", \"real_name\", \"name2\", \"section\", \"group\", \"class_name\", "
        "\"type\", \"friendly_name\", \"link_name\") as object arrays of str; \"x\", \"y\", "
        "\"z\", \"s\" as float64; one bool array per flag, keyed by the flag's name. Raises "
        "Error when a flag has the name of one of these fields.");
    cls.def(
        "to_pandas",
        [](const SharedComponentList& self) {
            const ListPtr list = self.current();
            return component_frame(
                component_columns(list->get_sorted_list(SortOrder::none), list->flag_names_));
        },
        "The columns of to_numpy() as a pandas.DataFrame indexed by name. pandas is imported "
        "only here: raises ImportError when it is not installed.");

    module.def("to_numpy", &columns_of, py::arg("components"),
               "The columns of a list of Component, as ComponentList.to_numpy() gives them for "
               "a whole list; the flags are those of the components' list. Raises ValueError "
               "for components of lists with different flags.");
    module.def(
        "to_pandas",
        [](const std::vector<ComponentRef>& components) {
            return component_frame(columns_of(components));
        },
        py::arg("components"),
        "The columns of zel_sql.to_numpy(components) as a pandas.DataFrame indexed by name; "
        "raises ImportError when pandas is not installed.");
}

}  // namespace zel::python
