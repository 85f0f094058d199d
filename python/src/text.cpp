#include "text.h"

namespace zel::python {

pybind11::str to_str(std::string_view bytes) {
    PyObject* text = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()),
                                          "surrogateescape");
    if (text == nullptr) {
        throw pybind11::error_already_set();
    }
    return pybind11::reinterpret_steal<pybind11::str>(text);
}

void refuse_nul(std::string_view bytes, const char* what) {
    if (bytes.find('\0') != std::string_view::npos) {
        throw pybind11::value_error(std::string("embedded null byte in ") + what);
    }
}

}  // namespace zel::python

namespace pybind11::detail {

bool type_caster<zel::python::Text>::load(handle source, bool /*convert*/) {
    if (!PyUnicode_Check(source.ptr())) {
        return false;
    }
    // A lone surrogate that no byte escapes to cannot be encoded; the call is
    // then refused with the usual TypeError of unmatched arguments.
    object bytes = reinterpret_steal<object>(
        PyUnicode_AsEncodedString(source.ptr(), "utf-8", "surrogateescape"));
    if (!bytes) {
        PyErr_Clear();
        return false;
    }
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes.ptr(), &data, &size) != 0) {
        PyErr_Clear();
        return false;
    }
    value.bytes.assign(data, static_cast<std::size_t>(size));
    return true;
}

bool type_caster<zel::python::FilePath>::load(handle source, bool /*convert*/) {
    if (!PyUnicode_Check(source.ptr()) && !PyBytes_Check(source.ptr()) &&
        !PyObject_HasAttrString(source.ptr(), "__fspath__")) {
        return false;
    }
    // Errors of the path object itself (a __fspath__ that raises) propagate.
    const bytes encoded = module_::import("os").attr("fsencode")(source);
    value.bytes = encoded;
    // The system would see only the part before a NUL; open() refuses such a
    // name the same way.
    zel::python::refuse_nul(value.bytes, "file name");
    return true;
}

}  // namespace pybind11::detail
