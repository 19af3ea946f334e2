import ast
import contextlib
import io
from pathlib import Path

import pytest

import OrvaneHardwareAPI as api
from signatures import untyped

# Module attributes in the order the module body sets them.
ATTRIBUTES = [
    "__doc__", "SerialStream", "UUID", "Device", "get_cpp_version", "print_cpp_version",
    "detect_varnix3s", "detect_handles", "detect_wired_handles", "detect_wireless_handles",
    "Varnix3", "Handle", "__version__",
]


def test_version_attributes():
    assert api.__version__ == "dev"
    assert api.__doc__ == "Python Implementation of the Orvane Hardware API"
    assert api.get_cpp_version() == "0.1.1"


def test_attributes_in_registration_order():
    assert [name for name in vars(api) if name in ATTRIBUTES] == ATTRIBUTES


# The binding layer ends every generated docstring with a newline.
@pytest.mark.parametrize("name, doc", [
    ("get_cpp_version", "get_cpp_version() -> str\n\nGet the version of the CPP library\n"),
    ("print_cpp_version",
     "print_cpp_version() -> None\n\nPrint the version of the CPP library\n"),
])
def test_function_docstrings(name, doc):
    assert untyped(getattr(api, name).__doc__) == untyped(doc)


@pytest.mark.parametrize("call", [
    lambda: api.get_cpp_version(1),
    lambda: api.get_cpp_version(version=1),
    lambda: api.print_cpp_version(1),
])
def test_functions_take_no_arguments(call, capfd):
    with pytest.raises(TypeError):
        call()
    assert capfd.readouterr().out == ""


def test_print_cpp_version_writes_native_stdout(capfd):
    redirected = io.StringIO()
    with contextlib.redirect_stdout(redirected):
        assert api.print_cpp_version() is None
    assert redirected.getvalue() == ""
    assert capfd.readouterr() == ("Library version: 0.1.1\n", "")


def stub_names():
    """Each name the type stub declares, with the method names of each class it declares."""
    tree = ast.parse((Path(__file__).parent.parent / "bindings" / "OrvaneHardwareAPI.pyi").read_text())
    names = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            names[node.name] = {n.name for n in node.body if isinstance(n, ast.FunctionDef)}
        elif isinstance(node, ast.FunctionDef):
            names[node.name] = set()
        elif isinstance(node, ast.AnnAssign):
            names[node.target.id] = set()
    return names


def test_type_stub_declares_what_the_module_has():
    def public(cls):
        return {n for n in vars(cls) if not n.startswith("_") or n == "__init__"} - {"__init__"}

    declared = {name: methods - {"__init__"} for name, methods in stub_names().items()}
    actual = {name: public(getattr(api, name)) if isinstance(getattr(api, name), type) else set()
              for name in ATTRIBUTES if name != "__doc__"}
    assert declared == actual
