#ifndef ZEL_SQL_PYTHON_COMPONENT_LIST_H_
#define ZEL_SQL_PYTHON_COMPONENT_LIST_H_

#include <pybind11/pybind11.h>

namespace zel::python {

/// Adds zel_sql.ComponentList and zel_sql.Component to `module`.
void bind_component_list(pybind11::module_& module);

}  // namespace zel::python

#endif  // ZEL_SQL_PYTHON_COMPONENT_LIST_H_
