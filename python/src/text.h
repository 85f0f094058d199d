#ifndef ZEL_SQL_PYTHON_TEXT_H_
#define ZEL_SQL_PYTHON_TEXT_H_

// Text between the library and Python. The library keeps texts as the bytes
// that the database or a file delivered; Python wants str. Bytes cross as
// UTF-8, and bytes that are no UTF-8 as surrogate escapes (as os.listdir()
// hands out file names), so that every text comes back to the library
// unchanged: a name read from a component finds that component again.

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>

namespace zel::python {

/// A text of the library, seen from Python as str.
struct Text {
    std::string bytes;
};

/// A file name given by a script: str, bytes or os.PathLike, as os.fsencode()
/// turns it into bytes.
struct FilePath {
    std::string bytes;
};

/// Raises ValueError "embedded null byte in <what>", as open() does, when
/// `bytes` holds a NUL: file, folder and facility names.
void refuse_nul(std::string_view bytes, const char* what);

/// The str for `bytes`.
pybind11::str to_str(std::string_view bytes);

}  // namespace zel::python

namespace pybind11::detail {

template <>
struct type_caster<zel::python::Text> {
    PYBIND11_TYPE_CASTER(zel::python::Text, const_name("str"));

    bool load(handle source, bool /*convert*/);
    static handle cast(const zel::python::Text& text, return_value_policy /*policy*/,
                       handle /*parent*/) {
        return zel::python::to_str(text.bytes).release();
    }
};

template <>
struct type_caster<zel::python::FilePath> {
    PYBIND11_TYPE_CASTER(zel::python::FilePath, const_name("str | os.PathLike[str]"));

    bool load(handle source, bool /*convert*/);
};

}  // namespace pybind11::detail

#endif  // ZEL_SQL_PYTHON_TEXT_H_
