#ifndef ZEL_SQL_PYTHON_COMPONENT_COLUMNS_H_
#define ZEL_SQL_PYTHON_COMPONENT_COLUMNS_H_

// Components as columns, for NumPy and pandas: ComponentList.to_numpy() and
// to_pandas(), and zel_sql.to_numpy() and to_pandas() for the components a
// selection returned.
//
// The columns, in this order: the nine texts as object arrays of str
// ("name", "real_name", "name2", "section", "group", "class_name", "type",
// "friendly_name", "link_name", as the Component properties), "x", "y", "z"
// and "s" as float64, and one bool array per flag, keyed by the flag's name
// (a name that appears twice counts once, by its first position, as in
// Component.flags).

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "zel/sql/Component.h"

namespace zel::python {

/// The columns of `components`, whose flags are named `flag_names`.
/// @throws zel::Error when a flag's name is that of another column.
pybind11::dict component_columns(const std::vector<const sql::Component*>& components,
                                 const std::vector<std::string>& flag_names);

/// A pandas.DataFrame of `columns` (from component_columns), indexed by name.
/// pandas is imported only here; ImportError says so when it is missing.
pybind11::object component_frame(const pybind11::dict& columns);

}  // namespace zel::python

#endif  // ZEL_SQL_PYTHON_COMPONENT_COLUMNS_H_
