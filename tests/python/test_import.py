"""The installed extension module imports and reports the project's version."""

import importlib.machinery
import pathlib
import re
import tomllib

import vesk

ROOT = pathlib.Path(__file__).resolve().parents[2]


def project_version() -> str:
    with open(ROOT / "pyproject.toml", "rb") as f:
        return tomllib.load(f)["project"]["version"]


def test_module_is_the_compiled_extension():
    assert vesk.__name__ == "vesk"
    assert vesk.__file__ is not None
    assert vesk.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))


def test_version_matches_pyproject():
    assert isinstance(vesk.__version__, str)
    assert vesk.__version__ == project_version()


def test_cmake_project_version_matches_pyproject():
    text = (ROOT / "CMakeLists.txt").read_text()
    match = re.search(r"project\(\s*vesk\s+VERSION\s+([0-9][0-9.]*)", text)
    assert match is not None, "CMakeLists.txt has no project(vesk VERSION ...)"
    assert match.group(1) == project_version()
