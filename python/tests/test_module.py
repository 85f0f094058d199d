"""The module's surface: names, stubs, docstrings and error classes."""

import ast
import inspect
import pathlib
import pickle

import pytest

import zel_sql


@pytest.mark.parametrize("spelling, canonical", [
    (" miran.test ", "MIRAN"),
    ("vmiran", "MIRAN_SIM"),
    ("Orvant.Sim", "ORVANT_SIM"),
    ("qor.sim", "MIRAN"),
    ("", ""),
])
def test_standardize_facility_name(spelling, canonical):
    assert zel_sql.standardize_facility_name(spelling) == canonical


def public_names(namespace):
    return {name for name in vars(namespace) if not name.startswith("_")}


def stub_tree():
    stub = pathlib.Path(zel_sql.__file__).with_name("_zel_sql.pyi")
    return ast.parse(stub.read_text())


# The database interface's module globals, type objects and constructors,
# which are values or Python's own classes (Date is datetime.date).
DBAPI_VALUES = {"apilevel", "threadsafety", "paramstyle", "STRING", "BINARY", "NUMBER",
                "DATETIME", "ROWID", "Date", "Time", "Timestamp", "Binary"}


def test_the_stubs_name_what_the_module_has():
    dbapi_stub = pathlib.Path(zel_sql.__file__).with_name("_dbapi.pyi")
    nodes = stub_tree().body + ast.parse(dbapi_stub.read_text()).body
    stub_classes = {node.name: node for node in nodes
                    if isinstance(node, ast.ClassDef) and not node.name.startswith("_")}
    stub_functions = {node.name for node in nodes if isinstance(node, ast.FunctionDef)}
    stub_values = {target.id for node in nodes
                   for target in (node.targets if isinstance(node, ast.Assign)
                                  else [node.target] if isinstance(node, ast.AnnAssign) else [])
                   if not target.id.startswith("_")}
    assert stub_values == DBAPI_VALUES
    module_classes = {name for name in public_names(zel_sql)
                      if inspect.isclass(getattr(zel_sql, name))}
    assert set(stub_classes) == module_classes - DBAPI_VALUES
    assert stub_functions == public_names(zel_sql) - module_classes - DBAPI_VALUES
    for name, node in stub_classes.items():
        stub_members = {member.name for member in node.body
                        if isinstance(member, ast.FunctionDef)}
        stub_members |= {member.target.id for member in node.body
                        if isinstance(member, ast.AnnAssign)}
        stub_members = {member for member in stub_members if not member.startswith("_")}
        assert stub_members == public_names(getattr(zel_sql, name)), name


def pybind11_parameters(function):
    """The parameter names of a function of the extension, each with whether
    it has a default, from the signature that pybind11 writes atop its
    docstring (stubtest cannot see these signatures)."""
    first_line = function.__doc__.splitlines()[0]
    inside = first_line[first_line.index("(") + 1:first_line.rindex(") ->")]
    parameters, depth, current = [], 0, ""
    for character in inside + ",":
        depth += (character in "[(") - (character in "])")
        if character == "," and depth == 0:
            if current.strip():
                parameters.append(current.strip())
            current = ""
        else:
            current += character
    return [(p.split(":")[0].strip(), "=" in p) for p in parameters]


def stub_parameters(node):
    arguments = node.args.posonlyargs + node.args.args
    with_default = len(node.args.defaults)
    return [(a.arg, i >= len(arguments) - with_default) for i, a in enumerate(arguments)]


def test_the_stubs_give_every_function_its_parameters_and_defaults():
    tree = stub_tree()
    checked = 0
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            members = [(getattr(zel_sql, node.name), node)]
        elif isinstance(node, ast.ClassDef) and not node.name.startswith("_"):
            cls = getattr(zel_sql, node.name)
            members = [(getattr(cls, m.name), m) for m in node.body
                       if isinstance(m, ast.FunctionDef)
                       and not any(isinstance(d, ast.Attribute) and d.attr == "setter"
                                   or isinstance(d, ast.Name) and d.id == "property"
                                   for d in m.decorator_list)]
        else:
            continue
        for runtime, stub in members:
            if issubclass(type(runtime), type) or not (runtime.__doc__ or "").startswith(
                    stub.name + "("):
                continue  # exceptions' and Python's own methods
            assert pybind11_parameters(runtime) == stub_parameters(stub), stub.name
            checked += 1
    assert checked >= 10


def test_every_function_and_property_has_a_docstring():
    for name in public_names(zel_sql) - DBAPI_VALUES:
        value = getattr(zel_sql, name)
        assert value.__doc__, name
        if inspect.isclass(value) and not issubclass(value, Exception):
            for member in public_names(value):
                assert getattr(value, member).__doc__, f"{name}.{member}"


def test_error_classes():
    assert issubclass(zel_sql.Error, RuntimeError)
    assert issubclass(zel_sql.DatabaseError, zel_sql.Error)
    assert (zel_sql.DatabaseError.sqlstate, zel_sql.DatabaseError.native_error) == ("", 0)


def test_the_package_shows_its_names_as_in_1x():
    # The extension is zel_sql._zel_sql; what it defines says it belongs to
    # zel_sql, where scripts, pickles and tracebacks look for it.
    assert sorted(zel_sql.__all__) == sorted(public_names(zel_sql))
    for name in set(zel_sql.__all__) - DBAPI_VALUES:
        assert getattr(zel_sql, name).__module__ == "zel_sql", name
    assert zel_sql.__doc__ == zel_sql._zel_sql.__doc__
    assert repr(zel_sql.Database) == "<class 'zel_sql.Database'>"
    assert "(self: zel_sql.ComponentList" in zel_sql.ComponentList.__len__.__doc__
    error = zel_sql.DatabaseError("Query failed: no such table")
    error.sqlstate, error.native_error = "42S02", 1146
    copy = pickle.loads(pickle.dumps(error))
    assert type(copy) is zel_sql.DatabaseError
    assert (str(copy), copy.sqlstate, copy.native_error) == (str(error), "42S02", 1146)
