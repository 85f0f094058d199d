#include "component_columns.h"

#include <pybind11/numpy.h>

#include <cstddef>
#include <string>
#include <unordered_set>
#include <vector>

#include "text.h"
#include "zel/Error.h"

namespace py = pybind11;

namespace zel::python {
namespace {

using sql::Component;

struct TextField {
    const char* key;
    std::string Component::*member;
};

// The Python names of the nine texts, in the order of the Component
// properties.
constexpr TextField text_fields[] = {
    {"name", &Component::name_},           {"real_name", &Component::real_name_},
    {"name2", &Component::name2_},         {"section", &Component::section_},
    {"group", &Component::group_},         {"class_name", &Component::class_},
    {"type", &Component::type_},           {"friendly_name", &Component::friendly_name_},
    {"link_name", &Component::link_name_},
};

struct NumberField {
    const char* key;
    double Component::*member;
};

constexpr NumberField number_fields[] = {
    {"x", &Component::x_},
    {"y", &Component::y_},
    {"z", &Component::z_},
    {"s", &Component::s_},
};

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
    for (const TextField& field : text_fields) {
        columns[field.key] = text_column(components, field.member);
    }
    for (const NumberField& field : number_fields) {
        columns[field.key] = number_column(components, field.member);
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
