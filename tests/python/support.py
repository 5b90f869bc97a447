"""Finds the built extension module for the tests.

VELMORA_PY_DIR names a staged module tree (<build>/py/<tag>); without it the
module must already be importable (for example through PYTHONPATH).
"""

import os
import sys

_dir = os.environ.get("VELMORA_PY_DIR")
if _dir:
    sys.path.insert(0, os.path.abspath(_dir))

try:
    from velmora.core import velmora_core as vc
except ImportError as e:  # pragma: no cover - a setup problem, not a test failure
    raise ImportError(
        "velmora.core.velmora_core is not importable: set VELMORA_PY_DIR to a "
        "staged module directory such as build/py/<tag>") from e

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
