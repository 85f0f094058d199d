#include "component_columns.h"

#include <pybind11/numpy.h>

#include <cstddef>
#include <iterator>
#include <string>
#include <unordered_set>
#include <vector>

#include "text.h"
#include "zel/Error.h"
#include "zel/sql/component_view.h"

namespace py = pybind11;

namespace zel::python {
namespace {

using sql::Component;

// The Python name of each text of sql::component_text_fields, in its order:
// the name of the Component property.
constexpr const char* text_keys[] = {
    "name",       "real_name", "name2",         "section",   "group",
    "class_name", "type",      "friendly_name", "link_name",
};
static_assert(std::size(text_keys) == sql::component_text_fields.size());

// The Python name of each coordinate of sql::component_coordinate_fields.
constexpr const char* coordinate_keys[] = {"x", "y", "z", "s"};
static_assert(std::size(coordinate_keys) == sql::component_coordinate_fields.size());

py::array text_column(const std::vector<const Component*>& components,
                      std::string Component::*member) {
    py::array array(py::dtype("O"),
                    std::vector<py::ssize_t>{static_cast<py::ssize_t>(components.size())});
    auto** slots = static_cast<PyObject**>(array.mutable_data());
    // Most classification texts repeat from one component to the next: the
    // previous str is then shared instead of decoded again.
    const std::string* previous = nullptr;
    PyObject* previous_object = nullptr;
    for (std::size_t i = 0; i < components.size(); ++i) {
        const std::string& text = components[i]->*member;
        PyObject* value = nullptr;
        if (previous != nullptr && *previous == text) {
            value = previous_object;
            Py_INCREF(value);
        } else {
            value = to_str(text).release().ptr();
            previous = &text;
            previous_object = value;
        }
        PyObject* old = slots[i];
        slots[i] = value;
        Py_XDECREF(old);
    }
    return array;
}

py::array number_column(const std::vector<const Component*>& components,
                        double Component::*member) {
    py::array_t<double> array(static_cast<py::ssize_t>(components.size()));
    double* values = array.mutable_data();
    for (std::size_t i = 0; i < components.size(); ++i) {
        values[i] = components[i]->*member;
    }
    return std::move(array);
}

py::array flag_column(const std::vector<const Component*>& components, std::size_t flag) {
    py::array_t<bool> array(static_cast<py::ssize_t>(components.size()));
    bool* values = array.mutable_data();
    for (std::size_t i = 0; i < components.size(); ++i) {
        const std::vector<bool>& flags = components[i]->flags_;
        values[i] = flag < flags.size() && flags[flag];
    }
    return std::move(array);
}

}  // namespace

py::dict component_columns(const std::vector<const Component*>& components,
                           const std::vector<std::string>& flag_names) {
    py::dict columns;
    for (std::size_t i = 0; i < sql::component_text_fields.size(); ++i) {
        columns[text_keys[i]] = text_column(components, sql::component_text_fields[i].member);
    }
    for (std::size_t i = 0; i < sql::component_coordinate_fields.size(); ++i) {
        columns[coordinate_keys[i]] =
            number_column(components, sql::component_coordinate_fields[i].member);
    }
    std::unordered_set<std::string> flags_seen;
    for (std::size_t flag = 0; flag < flag_names.size(); ++flag) {
        const std::string& name = flag_names[flag];
        if (!flags_seen.insert(name).second) {
            continue;  // the first flag of that name counts, as in Component.flags
        }
        py::str key = to_str(name);
        if (columns.contains(key)) {
            throw Error("The flag \"" + name + "\" has the name of a component's field");
        }
        columns[key] = flag_column(components, flag);
    }
    return columns;
}

py::object component_frame(const py::dict& columns) {
    py::module_ pandas;
    try {
        pandas = py::module_::import("pandas");
    } catch (py::error_already_set& missing) {
        if (!missing.matches(PyExc_ImportError)) {
            throw;
        }
        py::raise_from(missing, PyExc_ImportError,
                       "to_pandas() needs pandas, which is not installed (Debian: "
                       "python3-pandas; pip: pandas); to_numpy() gives the same columns "
                       "without it");
        throw py::error_already_set();
    }
    return pandas.attr("DataFrame")(columns).attr("set_index")("name");
}

}  // namespace zel::python
