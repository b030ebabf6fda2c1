"""Every module, public class and public function of the vantrel package is
documented (an nn.Module's forward is described by its class)."""
import importlib
import inspect
import pkgutil

import pytest

import vantrel

pytest.importorskip("torch")


def undocumented():
    for info in pkgutil.walk_packages(vantrel.__path__, "vantrel."):
        mod = importlib.import_module(info.name)
        if not mod.__doc__:
            yield mod.__name__
        for name, obj in vars(mod).items():
            if name.startswith("_") or getattr(obj, "__module__", None) != mod.__name__:
                continue
            if (inspect.isfunction(obj) or inspect.isclass(obj)) and not obj.__doc__:
                yield f"{mod.__name__}.{name}"
            if inspect.isclass(obj):
                yield from (f"{mod.__name__}.{name}.{m}" for m, f in vars(obj).items()
                            if inspect.isfunction(f) and not m.startswith("_") and m != "forward"
                            and not f.__doc__)


def test_public_api_is_documented():
    assert list(undocumented()) == []
