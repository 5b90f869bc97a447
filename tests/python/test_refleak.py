"""Reference leaks and memory growth across the whole module surface. Each call
runs in rounds, as CPython's ``-R`` does: after warm-up, a leak is a count that
grows in every round: allocated blocks everywhere, and on a debug interpreter
the reference total too. The resident size catches the module's own memory."""

import gc
import os
import sys
import unittest
from collections import defaultdict
from functools import partial

from blobs import blob, ids, source, stage, string, u32, u64
from support import numpy, vc
from test_graph import ERRORS, error_names

WARMUPS, MEASURED, REPEAT = 3, 3, 8
DESCRIPTOR = dict(kind="model", content_hash="h0", framework="fw", version="1", io_schema="x->y")
GOOD_BLOB = blob([b"\x00" + string("x") + u32(1) + string("k") + b"\x00" + u64(3),
                  stage([0], [("op|neg", [("input", 0)]), ("red|sum", [("member", 0)])])],
                 outputs=[1, 1])
EVERY_KIND = {"i": -7, "f": 2.5, "b": True, "s": "t\u0301", "nan": float("nan"), "big": 2**63,
              "neg0": -0.0}
BAD_BLOBS = [b"", b"VIR", b"NOPE\x00\x00\x00\x00", b"VIR1\x01", blob([b"\x09"]),
             blob([b"\x00" + string("x") + u32(1) + string("p") + b"\x07"]),
             blob([b"\x00" + u32(2) + b"\xff\xfe" + u32(0)]), blob([source("x")])[:-2],
             blob([source("x"), b"\x01" + string("neg") + u32(0) + ids([5])]),
             blob([source("x"), stage([0], [("op|neg", [("member", 0)])])]),
             blob([source("x")], outputs=[4])]


class Hook:
    """A param value whose hook raises, returns a "huge" int, or changes the dict
    being read: "grow" adds a key (as an int), "swap" replaces one (as a float)."""

    def __init__(self, how, target=None):
        self.how, self.target = how, target

    def __index__(self):
        if self.how == "raise":
            raise ArithmeticError("no index")
        if self.how == "grow":
            self.target["zz_added"] = 1
            return 1
        if self.how == "huge":
            return 10**400
        raise TypeError("read as a float")

    def __float__(self):
        if self.how != "swap":
            raise TypeError("not a float")
        self.target.pop("a", None)
        self.target["a2"] = 1
        return 1.0


def mutated(store, how):
    params = {"a": 1, "b": 2}
    params["b"] = Hook(how, params)
    store.add_source("mutated", params)


def cases():
    """(exception or None, callable, arguments...) for every method of the module."""
    s = vc.GraphStore()
    x, y = s.add_source("x", {"n": 3}), s.add_source("y")
    a = s.add_op("add", [x, y])
    s.add_op("add", [y, x])
    c = s.add_op("neg", [s.add_op("mul", [a], {"scalar": 1.0, "side": "r"})])
    e = s.add_external(vc.PayloadDescriptor(**DESCRIPTOR), [s.add_reduction("sum", [c])])
    last = s.add_join([s.add_exchange([e], {"scheme": "hash"}), c], {"how": "inner"})
    reduced = s.reduce(outputs=[last, c])[0]
    decoded = vc.GraphStore.deserialize(GOOD_BLOB)
    d = vc.PayloadDescriptor(**DESCRIPTOR, preprocessing_ref="p")
    r = vc.IncrementalReducer()
    outs = [last, c, last]
    # Short names for the rows below.
    P, PD, D, de = partial, vc.PayloadDescriptor, DESCRIPTOR, vc.GraphStore.deserialize
    src, op, ext = s.add_source, s.add_op, s.add_external
    # The calls that succeed, and refusals the error table of test_graph has not.
    rows = [
        (None, vc.version), (None, vc.GraphStore), (None, vc.IncrementalReducer),
        (None, P(PD, **D)), (None, P(PD, **D, preprocessing_ref="p")),
        (None, lambda: [getattr(d, k) for k in list(D) + ["preprocessing_ref"]]),
        (TypeError, P(PD, **D, extra="e")), (AttributeError, setattr, d, "kind", "other"),
        (None, src, "kinds", EVERY_KIND), (None, src, "x", defaultdict(str, n=3)),
        (None, P(src, name="x", params=None)), (TypeError, src, "x", {"a": Hook("huge")}),
        (ArithmeticError, src, "x", {"a": Hook("raise")}), (RuntimeError, mutated, s, "grow"),
        (RuntimeError, mutated, s, "swap"), (None, op, "add", [x, x], {"k": 1}),
        (None, op, "add", (x, x)), (None, op, "add", range(2)),
        (None, P(op, name="neg", inputs=[x])), (None, s.add_reduction, "sum", [x], {"axis": 1}),
        (None, ext, PD(**D), [x]), (None, ext, dict(D), [x], {"p": 1}),
        (None, ext, dict(D, preprocessing_ref=""), []), (None, ext, defaultdict(str, D), []),
        (None, s.add_exchange, [x, x, x], {"scheme": "hash"}), (None, s.add_exchange, []),
        (None, s.add_join, [x, y], {"how": "left"}), (None, s.node_count),
        (TypeError, P(s.to_dot, x=1)), (None, s.serialize), (None, s.serialize, [last, last, 0]),
        (None, P(reduced.serialize, outputs=None)), (None, de, s.serialize()),
        (None, s.deserialize, GOOD_BLOB), (None, P(de, data=GOOD_BLOB)), (None, s.reduce),
        (None, P(s.reduce, outputs=outs)), (None, reduced.reduce),
        (None, P(s.reduce, maximal_fusion=True, outputs=outs)),
        (None, P(s.reduce_incremental, outputs=outs)), (None, reduced.reduce_incremental),
        (None, P(s.reduction_report, outputs=outs)), (None, r.step, s), (None, P(r.step, store=s)),
        (None, lambda: (r.watermark(), r.total_work(), r.canonical_count())),
        (None, r.finalize, s), (None, P(r.finalize, s, outputs=[last, 0], maximal_fusion=True)),
        (None, lambda: vc.IncrementalReducer().finalize(decoded)),
    ]
    names = error_names()
    rows += [(error, eval, compile(text, "<error table>", "eval"), names)
             for text, error, _ in ERRORS]
    rows += [(ValueError, vc.GraphStore.deserialize, b) for b in BAD_BLOBS]
    for st in (s, reduced, decoded):
        rows += [(None, st.nodes), (None, st.outputs), (None, st.node_map), (None, st.to_dot)]
    if numpy is not None:
        rows.append((None, partial(s.reduce, maximal_fusion=numpy.bool_(True), outputs=outs)))
    return rows


def call(exc, fn, *args):
    """Calls fn, which must raise exactly `exc`, or nothing when that is None."""
    try:
        fn(*args)
    except BaseException as e:  # the error table's hooks raise KeyboardInterrupt too
        if type(e) is not exc:
            raise
    else:
        if exc is not None:
            raise AssertionError("did not raise %s" % exc.__name__)


def deltas(fn):
    """Per measured round, growth of the reference total (0 if not debug) and of blocks."""
    total = getattr(sys, "gettotalrefcount", int)
    refs, blocks = [0] * (WARMUPS + MEASURED), [0] * (WARMUPS + MEASURED)
    for i in range(WARMUPS + MEASURED):
        collect()
        b0 = sys.getallocatedblocks()
        rc0 = total()
        for _ in range(REPEAT):
            fn()
        collect()
        rc1 = total()
        b1 = sys.getallocatedblocks()
        refs[i], blocks[i] = rc1 - rc0, b1 - b0
    return refs[WARMUPS:], blocks[WARMUPS:]


def collect():
    for _ in range(3):  # the free-threaded debug build may need three to free a cycle
        gc.collect()


def leaks(measured):
    refs, blocks = measured
    # A leak grows in every round, a cache filling does not. The measurement's
    # own ints move a block or so per round, so only a block per call counts.
    return ((hasattr(sys, "gettotalrefcount") and all(d >= 1 for d in refs)) or
            all(d >= REPEAT for d in blocks))


class ReferenceLeakTest(unittest.TestCase):
    def setUp(self):
        # Collections then look only at what the calls made: fast, and quieter.
        gc.collect()
        gc.freeze()
        self.addCleanup(gc.unfreeze)

    def test_every_call_of_the_module(self):
        for row in cases():
            fn = partial(call, *row)
            with self.subTest(call=row[1:]):
                fn()  # the outcome itself, once, outside the measurement
                measured = deltas(fn)
                if leaks(measured):  # something settling fades; a leak repeats
                    measured = deltas(fn)
                self.assertFalse(leaks(measured), "references, blocks: %s" % (measured,))

    def test_a_store_lets_go_of_the_strs_its_builders_met(self):
        # Short strs are held while the store lives, long ones not even then.
        texts = ["".join(["te", "xt"]), "".join(["na", "me"]), "long" * 17]
        before = [sys.getrefcount(t) for t in texts]
        s = vc.GraphStore()
        for _ in range(2):  # new texts, then known ones
            s.add_op(texts[1], [s.add_source(texts[0])], {texts[0]: texts[1], "x": texts[2]})
        self.assertEqual([sys.getrefcount(t) for t in texts][2], before[2])
        del s
        self.assertEqual([sys.getrefcount(t) for t in texts], before)

    def test_a_leaking_call_is_detected(self):
        kept = []
        self.assertTrue(leaks(deltas(lambda: kept.append(object()))))


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class MemoryStaysFlatTest(unittest.TestCase):
    @unittest.skipUnless(os.path.exists("/proc/self/statm"), "no /proc/self/statm here")
    def test_a_million_builder_calls_on_one_store(self):
        s = vc.GraphStore()
        x = s.add_source("x")
        params = [{"scalar": float(i), "side": "r"} for i in range(500)]

        def run(calls):
            for i in range(calls):
                if i % 16 == 0:
                    call(ValueError, s.add_op, "add", [x, 10**9])
                else:
                    s.add_op(("add", "mul", "neg", "abs", "exp")[i % 5], [x], params[i % 500])

        run(100_000)  # every distinct key is stored: from here on nothing may grow
        before = rss_bytes()
        run(1_000_000)
        grown = rss_bytes() - before
        self.assertEqual(s.node_count(), 501, "the store grew after warm-up")
        # Generous against allocator noise, far below a leak of a few bytes a call.
        self.assertLess(grown, 4 << 20, "resident size grew by %d bytes" % grown)


if __name__ == "__main__":
    unittest.main()
