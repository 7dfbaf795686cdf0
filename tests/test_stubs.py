"""Every extension module ships a stub naming exactly what it exports."""

import ast
import importlib
import inspect
import pathlib

import pytest

import wrapper

PACKAGE = pathlib.Path(wrapper.__file__).parent


def extension_modules():
    names = []
    for path in sorted(PACKAGE.rglob("*.so")):
        rel = path.relative_to(PACKAGE.parent)
        names.append(".".join(rel.parent.parts + (path.name.split(".")[0],)))
    return names


def stub_names(path):
    names = set()
    for node in ast.parse(path.read_text()).body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
        elif isinstance(node, ast.Assign):
            names.update(t.id for t in node.targets if isinstance(t, ast.Name))
    return {n for n in names if not n.startswith("_") or n == "_extract_text_from_pdf"}


def exported_names(module):
    """Functions, classes and constants the module defines (not what it imports)."""
    names = set()
    for name, value in vars(module).items():
        if name.startswith("__"):
            continue
        if inspect.isclass(value) and value.__module__ == module.__name__:
            names.add(name)
        elif inspect.isbuiltin(value) and getattr(value, "__module__", None) == module.__name__:
            names.add(name)
        elif name.isupper() and not (inspect.ismodule(value) or callable(value)):
            names.add(name)  # a module constant, such as a table of endpoints
    return {n for n in names if not n.startswith("_") or n == "_extract_text_from_pdf"}


def test_the_package_has_its_modules():
    modules = extension_modules()
    assert "wrapper.infra.Idiomark" in modules
    assert (PACKAGE / "py.typed").is_file()
    # The build skips a module without sources in silence: a stub whose
    # module was never built shows it.
    stubs = {".".join(p.relative_to(PACKAGE.parent).with_suffix("").parts)
             for p in PACKAGE.rglob("*.pyi")}
    assert stubs == set(modules)


@pytest.mark.parametrize("name", extension_modules())
def test_stub_matches_module(name):
    module = importlib.import_module(name)
    stub = PACKAGE.parent.joinpath(*name.split(".")).with_suffix(".pyi")
    assert stub.is_file(), f"{name} has no stub"
    assert stub_names(stub) == exported_names(module)
