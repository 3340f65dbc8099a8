"""What the installed package offers besides the class: a namespace that holds
only its own names, a version that agrees with the distribution's metadata,
and, through vantel.color.get_include(), the directory of the installed
package, holding the public headers color.h and color_raylib.h and no other
header.

(The type stubs and the example native consumers are checked by the api
session of noxfile.py; the release artifacts, their files among them, by its
release session.)
"""

import importlib.metadata
from pathlib import Path

import pytest

import vantel.color
import vantel.color.color as color_module

pytestmark = pytest.mark.packaging


def test_get_include_is_the_installed_package_directory():
    include = vantel.color.get_include()
    assert isinstance(include, str)
    assert Path(include).is_absolute()
    assert Path(include) == Path(color_module.__file__).resolve().parent


def test_include_directory_holds_only_the_public_header():
    include = Path(vantel.color.get_include())
    # Any other header there would be reachable by a consumer's #include and
    # could shadow a header of the consumer's own with the same name.
    assert sorted(path.name for path in include.glob("*.h")) == ["color.h", "color_raylib.h"]
    assert "VantelColor_Import" in (include / "color.h").read_text()


def test_namespace_holds_only_the_package_names():
    # Whatever the package imports for its own use must not become part of
    # its interface (`from vantel.color import *` aside, dir() and completion
    # show it).  `color` is the compiled submodule, bound by the import.
    public = {name for name in vars(vantel.color) if not name.startswith("_")}
    assert public == {"Color", "color", "get_include"}
    assert vantel.color.__all__ == ["Color", "get_include"]


def test_version_agrees_with_the_distribution_metadata():
    assert vantel.color.__version__ == importlib.metadata.version("vantel-color")
