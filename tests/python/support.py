"""Finds the built extension module for the tests.
VELMORA_PY_DIR names a staged module tree (<build>/py/<tag>); without it the
module must already be importable (for example through PYTHONPATH)."""

import os
import sys
import sysconfig
import warnings

_dir = os.environ.get("VELMORA_PY_DIR")
if _dir:
    sys.path.insert(0, os.path.abspath(_dir))

# A free-threaded interpreter turns the GIL back on, with a RuntimeWarning, for a module
# that does not declare it can run without it, and every test would pass with the GIL
# held: so a suite there stops before its first test if the import brought it back.
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))

with warnings.catch_warnings(record=True) as _caught:
    warnings.simplefilter("always")
    from velmora.core import velmora_core as vc
GIL_WARNINGS = [str(w.message) for w in _caught
                if issubclass(w.category, RuntimeWarning) and "GIL" in str(w.message)]
for _w in _caught:
    warnings.warn_explicit(_w.message, _w.category, _w.filename, _w.lineno)
# PYTHON_GIL=1 (or -X gil=1) asks for the GIL: nothing to check then.
if FREE_THREADED and getattr(sys.flags, "gil", None) != 1 and (
        GIL_WARNINGS or sys._is_gil_enabled()):
    raise AssertionError("importing velmora_core enabled the GIL on a free-threaded "
                         "interpreter: %s" % (GIL_WARNINGS or "no warning"))

try:
    import numpy
except ImportError:
    numpy = None


def chain(store, *names):
    """Adds a source "s" and one op per name, each over the previous node."""
    last = store.add_source("s")
    for name in names:
        last = store.add_op(name, [last])
    return last

