"""The main job's example runs end to end and shows what it promises."""

import contextlib
import io
import os
import runpy
import unittest

from support import vc  # noqa: F401  (puts the module on the path)

EXAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples",
                       "record_and_reduce.py")


class ExampleTest(unittest.TestCase):
    def test_records_reduces_round_trips_and_prints(self):
        example = runpy.run_path(EXAMPLE)  # defines main() without running it
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            example["main"]()  # asserts its own blob round trip
        text = out.getvalue()
        self.assertIn("recorded 12 nodes:", text)
        self.assertIn('"reduced_nodes": 6', text)
        self.assertEqual(text.count("digraph velmora {"), 2)
        self.assertIn("shape=doublecircle", text)


if __name__ == "__main__":
    unittest.main()
