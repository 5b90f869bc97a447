"""Reference leaks and memory growth across the whole module surface.

The reference checks need a debug interpreter (``sys.gettotalrefcount``) and
skip elsewhere. Each case runs in rounds, the way CPython's ``-R`` option
does: a few warm-up rounds fill caches, then a leak shows as a reference
total (or an allocated-block count) that grows in every measured round.

The memory check runs everywhere: a million builder calls on one store must
leave the resident size flat once the store has stopped growing.
"""

import gc
import os
import struct
import sys
import unittest

from support import numpy, vc

DEBUG_BUILD = hasattr(sys, "gettotalrefcount")
WARMUPS = 3
MEASURED = 3
REPEAT = 8

DESCRIPTOR = {
    "kind": "model",
    "content_hash": "h0",
    "framework": "fw",
    "version": "1",
    "io_schema": "x->y",
}


# ------------------------------------------------------------------ blobs


def _u32(n):
    return struct.pack("<I", n)


def _u64(n):
    return struct.pack("<Q", n)


def _str(s):
    b = s if isinstance(s, bytes) else s.encode()
    return _u32(len(b)) + b


def _blob(records, outputs=()):
    out = b"VIR1" + _u32(len(records)) + b"".join(records)
    return out + _u32(len(outputs)) + b"".join(_u64(o) for o in outputs)


NO_PARAMS = _u32(0)


def _inputs(*ids):
    return _u32(len(ids)) + b"".join(_u64(i) for i in ids)


def _source(name, params=NO_PARAMS):
    return b"\x00" + _str(name) + params


def _stage(inputs, members):
    body = _u32(len(members))
    for token, refs in members:
        body += _str(token) + _u32(len(refs))
        for tag, k in refs:
            body += bytes([tag]) + _u32(k)
    return b"\x04" + inputs + body


GOOD_BLOB = _blob(
    [
        _source("x", _u32(1) + _str("k") + b"\x00" + _u64(3)),
        _stage(_inputs(0), [("op|neg", [(0, 0)]), ("red|sum", [(1, 0)])]),
    ],
    outputs=[1, 1],
)
BAD_TOKEN_BLOB = _blob([_source("x"), _stage(_inputs(0), [("abc", [(0, 0)])])])
BAD_BLOBS = [
    b"",
    b"VIR",
    b"NOPE\x00\x00\x00\x00",
    b"VIR1\x01",
    _blob([b"\x09"]),
    _blob([b"\x00" + _str("x") + _u32(1) + _str("p") + b"\x07"]),
    _blob([b"\x00" + _str(b"\xff\xfe") + NO_PARAMS]),
    _blob([_source("x"), b"\x01" + _str("neg") + NO_PARAMS + _inputs(5)]),
    _blob([_source("x"), _stage(_inputs(0), [("op|neg", [(2, 0)])])]),
    _blob([_source("x")], outputs=[4]),
    _blob([_source("x")])[:-2],
]


# ----------------------------------------------------------- hostile values


class GrowsDict:
    """An int-like value whose conversion hook adds a key to the dict being read."""

    def __init__(self, target):
        self.target = target

    def __index__(self):
        self.target["zz_added"] = 1
        return 1


class SwapsKey:
    """A float-like value whose hook replaces one key, keeping the size."""

    def __init__(self, target):
        self.target = target

    def __float__(self):
        self.target.pop("a", None)
        self.target["a2"] = 1
        return 1.0


class FailingIndex:
    def __index__(self):
        raise ArithmeticError("no index")


class Huge:
    def __index__(self):
        return 10**400


class MissingDict(dict):
    def __missing__(self, key):
        return "from __missing__"


# ------------------------------------------------------------------ cases


def _expect(exc, fn, *args, **kwargs):
    """Calls fn; `exc` None means it must succeed, else raise exactly `exc`."""
    if exc is None:
        return fn(*args, **kwargs)
    try:
        fn(*args, **kwargs)
    except exc:
        return None
    raise AssertionError("%s did not raise %s" % (getattr(fn, "__name__", fn), exc.__name__))


class Fixture:
    """One store of every kind of node, and a reduced store with stages."""

    def __init__(self):
        s = vc.GraphStore()
        self.store = s
        x = s.add_source("x", {"n": 3})
        y = s.add_source("y")
        a = s.add_op("add", [x, y])
        s.add_op("add", [y, x])
        b = s.add_op("mul", [a], {"scalar": 1.0, "side": "r"})
        c = s.add_op("neg", [b])
        d = s.add_reduction("sum", [c], {"axis": 0})
        e = s.add_external(vc.PayloadDescriptor(**DESCRIPTOR), [d])
        f = s.add_exchange([e], {"scheme": "hash"})
        self.last = s.add_join([f, c], {"how": "inner"})
        self.ids = [x, y, a, b, c, d, e, f, self.last]
        self.reduced, _ = s.reduce(outputs=[self.last, c])
        self.decoded = vc.GraphStore.deserialize(GOOD_BLOB)
        self.bad_token = vc.GraphStore.deserialize(BAD_TOKEN_BLOB)


def _module_cases(fx):
    return [
        ("version", lambda: _expect(None, vc.version)),
        ("version with an argument", lambda: _expect(TypeError, vc.version, 1)),
        ("GraphStore()", lambda: _expect(None, vc.GraphStore)),
        ("GraphStore(1)", lambda: _expect(TypeError, vc.GraphStore, 1)),
        ("IncrementalReducer(1)", lambda: _expect(TypeError, vc.IncrementalReducer, 1)),
    ]


def _descriptor_cases(fx):
    d = vc.PayloadDescriptor(**DESCRIPTOR, preprocessing_ref="p")

    def props():
        return (d.kind, d.content_hash, d.framework, d.version, d.io_schema, d.preprocessing_ref)

    def assign():
        d.kind = "other"

    return [
        ("construct", lambda: _expect(None, vc.PayloadDescriptor, **DESCRIPTOR)),
        ("construct with ref", lambda: _expect(None, vc.PayloadDescriptor, **DESCRIPTOR,
                                               preprocessing_ref="p")),
        ("properties", props),
        ("positional", lambda: _expect(TypeError, vc.PayloadDescriptor, "k", "h", "f", "v", "s")),
        ("missing field", lambda: _expect(TypeError, vc.PayloadDescriptor, kind="k")),
        ("non-str field", lambda: _expect(TypeError, vc.PayloadDescriptor,
                                          **dict(DESCRIPTOR, version=1))),
        ("non-str ref", lambda: _expect(TypeError, vc.PayloadDescriptor, **DESCRIPTOR,
                                        preprocessing_ref=b"p")),
        ("unknown keyword", lambda: _expect(TypeError, vc.PayloadDescriptor, **DESCRIPTOR,
                                            extra="e")),
        ("assign a property", lambda: _expect(AttributeError, assign)),
    ]


def _builder_cases(fx):
    s = fx.store
    x = fx.ids[0]
    all_kinds = {"i": -7, "f": 2.5, "b": True, "s": "t\u0301", "nan": float("nan"),
                 "big": 2**63, "neg0": -0.0}
    cases = [
        ("add_source", lambda: _expect(None, s.add_source, "x", {"n": 3})),
        ("add_source every value kind", lambda: _expect(None, s.add_source, "kinds", all_kinds)),
        ("add_source dict subclass", lambda: _expect(None, s.add_source, "x", MissingDict(n=3))),
        ("add_source keywords", lambda: _expect(None, s.add_source, name="x", params=None)),
        ("add_source name not str", lambda: _expect(TypeError, s.add_source, 1)),
        ("add_source no name", lambda: _expect(TypeError, s.add_source)),
        ("add_source surplus", lambda: _expect(TypeError, s.add_source, "x", None, 1)),
        ("add_source unknown keyword", lambda: _expect(TypeError, s.add_source, "x", bad=1)),
        ("params a list", lambda: _expect(TypeError, s.add_source, "x", [("a", 1)])),
        ("param value None", lambda: _expect(TypeError, s.add_source, "x", {"a": None})),
        ("param value list", lambda: _expect(TypeError, s.add_source, "x", {"a": [1]})),
        ("param int too big", lambda: _expect(TypeError, s.add_source, "x", {"a": 10**400})),
        ("param hook too big", lambda: _expect(TypeError, s.add_source, "x", {"a": Huge()})),
        ("param key not str", lambda: _expect(TypeError, s.add_source, "x", {1: 2})),
        ("param second item bad", lambda: _expect(TypeError, s.add_source, "x",
                                                  {"a": 1, "b": object()})),
        ("param hook raises", lambda: _try(s.add_source, "x", {"a": FailingIndex()})),
        ("add_op", lambda: _expect(None, s.add_op, "add", [x, x], {"k": 1})),
        ("add_op tuple", lambda: _expect(None, s.add_op, "add", (x, x))),
        ("add_op range", lambda: _expect(None, s.add_op, "add", range(2))),
        ("add_op keywords", lambda: _expect(None, s.add_op, name="neg", inputs=[x])),
        ("add_op str inputs", lambda: _expect(TypeError, s.add_op, "add", "01")),
        ("add_op iterator", lambda: _expect(TypeError, s.add_op, "add", iter([x]))),
        ("add_op set", lambda: _expect(TypeError, s.add_op, "add", {x})),
        ("add_op element not int", lambda: _expect(TypeError, s.add_op, "add", [x, "1"])),
        ("add_op element float", lambda: _expect(TypeError, s.add_op, "add", [1.0])),
        ("add_op negative id", lambda: _expect(OverflowError, s.add_op, "add", [-1])),
        ("add_op id past u64", lambda: _expect(OverflowError, s.add_op, "add", [2**64])),
        ("add_op bad id", lambda: _expect(ValueError, s.add_op, "add", [x, 999, 7])),
        ("add_op bad name and inputs", lambda: _expect(TypeError, s.add_op, 5, "x")),
        ("add_op bad params", lambda: _expect(TypeError, s.add_op, "add", [x], 3)),
        ("add_reduction", lambda: _expect(None, s.add_reduction, "sum", [x], {"axis": 1})),
        ("add_reduction bad id", lambda: _expect(ValueError, s.add_reduction, "sum", [10**6])),
        ("add_external", lambda: _expect(None, s.add_external,
                                         vc.PayloadDescriptor(**DESCRIPTOR), [x])),
        ("add_external dict", lambda: _expect(None, s.add_external, dict(DESCRIPTOR), [x],
                                              {"p": 1})),
        ("add_external dict with ref", lambda: _expect(None, s.add_external,
                                                       dict(DESCRIPTOR, preprocessing_ref=""),
                                                       [])),
        ("add_external dict subclass", lambda: _expect(None, s.add_external,
                                                       MissingDict(DESCRIPTOR), [])),
        ("add_external missing field", lambda: _expect(
            ValueError, s.add_external, {k: v for k, v in DESCRIPTOR.items() if k != "io_schema"},
            [])),
        ("add_external missing under __missing__", lambda: _expect(
            ValueError, s.add_external, MissingDict(kind="k"), [])),
        ("add_external field None", lambda: _expect(TypeError, s.add_external,
                                                    dict(DESCRIPTOR, kind=None), [])),
        ("add_external bad ref", lambda: _expect(TypeError, s.add_external,
                                                 dict(DESCRIPTOR, preprocessing_ref=3), [])),
        ("add_external not a descriptor", lambda: _expect(TypeError, s.add_external, "x", [])),
        ("add_external bad id", lambda: _expect(ValueError, s.add_external, dict(DESCRIPTOR),
                                                [123456])),
        ("add_external bad inputs first", lambda: _expect(TypeError, s.add_external, "x", "y")),
        ("add_exchange", lambda: _expect(None, s.add_exchange, [x, x, x], {"scheme": "hash"})),
        ("add_exchange empty", lambda: _expect(None, s.add_exchange, [])),
        ("add_exchange bad id", lambda: _expect(ValueError, s.add_exchange, [4242])),
        ("add_join", lambda: _expect(None, s.add_join, [x, fx.ids[1]], {"how": "left"})),
        ("add_join bad inputs", lambda: _expect(TypeError, s.add_join, None)),
        ("node_count", lambda: _expect(None, s.node_count)),
        ("node_count with argument", lambda: _expect(TypeError, s.node_count, 1)),
    ]

    def grown():
        p = {"a": 1, "b": 2}
        p["b"] = GrowsDict(p)
        s.add_source("mutated", p)

    def swapped():
        p = {"a": 1, "b": 2}
        p["b"] = SwapsKey(p)
        s.add_source("mutated", p)

    cases += [
        ("dict grown while read", lambda: _expect(RuntimeError, grown)),
        ("dict keys swapped while read", lambda: _expect(RuntimeError, swapped)),
    ]
    return cases


def _inspection_cases(fx):
    cases = []
    for label, store in (("built", fx.store), ("reduced", fx.reduced), ("decoded", fx.decoded)):
        cases += [
            ("nodes of " + label, lambda st=store: _expect(None, st.nodes)),
            ("outputs of " + label, lambda st=store: _expect(None, st.outputs)),
            ("node_map of " + label, lambda st=store: _expect(None, st.node_map)),
            ("to_dot of " + label, lambda st=store: _expect(None, st.to_dot)),
        ]
    cases += [
        ("nodes with an unparseable member", lambda: _expect(ValueError, fx.bad_token.nodes)),
        ("nodes with an argument", lambda: _expect(TypeError, fx.store.nodes, 1)),
        ("to_dot with an argument", lambda: _expect(TypeError, fx.store.to_dot, x=1)),
    ]
    return cases


def _persistence_cases(fx):
    s = fx.store
    blob = s.serialize()
    cases = [
        ("serialize", lambda: _expect(None, s.serialize)),
        ("serialize outputs", lambda: _expect(None, s.serialize, [fx.last, fx.last, 0])),
        ("serialize keyword", lambda: _expect(None, fx.reduced.serialize, outputs=None)),
        ("serialize bad id", lambda: _expect(ValueError, s.serialize, outputs=[0, 10**9])),
        ("serialize str", lambda: _expect(TypeError, s.serialize, "01")),
        ("deserialize", lambda: _expect(None, vc.GraphStore.deserialize, blob)),
        ("deserialize keyword", lambda: _expect(None, vc.GraphStore.deserialize, data=GOOD_BLOB)),
        ("deserialize on an instance", lambda: _expect(None, s.deserialize, GOOD_BLOB)),
        ("deserialize bytearray", lambda: _expect(TypeError, vc.GraphStore.deserialize,
                                                  bytearray(blob))),
        ("deserialize memoryview", lambda: _expect(TypeError, vc.GraphStore.deserialize,
                                                   memoryview(blob))),
        ("deserialize nothing", lambda: _expect(TypeError, vc.GraphStore.deserialize)),
    ]
    for i, bad in enumerate(BAD_BLOBS):
        cases.append(("deserialize bad blob %d" % i,
                      lambda b=bad: _expect(ValueError, vc.GraphStore.deserialize, b)))
    return cases


def _reduction_cases(fx):
    s = fx.store
    outs = [fx.last, fx.ids[4], fx.last]
    cases = [
        ("reduce", lambda: _expect(None, s.reduce)),
        ("reduce outputs", lambda: _expect(None, s.reduce, outputs=outs)),
        ("reduce maximal", lambda: _expect(None, s.reduce, maximal_fusion=True, outputs=outs)),
        ("reduce marked", lambda: _expect(None, fx.reduced.reduce)),
        ("reduce int flag", lambda: _expect(TypeError, s.reduce, maximal_fusion=1)),
        ("reduce positional", lambda: _expect(TypeError, s.reduce, True)),
        ("reduce bad id", lambda: _expect(ValueError, s.reduce, outputs=[0, 10**6, 7])),
        ("reduce bad flag before bad outputs", lambda: _expect(TypeError, s.reduce,
                                                               maximal_fusion=None,
                                                               outputs="x")),
        ("reduce_incremental", lambda: _expect(None, s.reduce_incremental, outputs=outs)),
        ("reduce_incremental marked", lambda: _expect(None, fx.reduced.reduce_incremental)),
        ("reduce_incremental bad id", lambda: _expect(ValueError, s.reduce_incremental,
                                                      outputs=[10**6])),
        ("reduction_report", lambda: _expect(None, s.reduction_report, outputs=outs)),
        ("reduction_report str", lambda: _expect(TypeError, s.reduction_report, outputs="x")),
    ]
    if numpy is not None:
        cases.append(("reduce numpy flag", lambda: _expect(None, s.reduce,
                                                           maximal_fusion=numpy.bool_(True),
                                                           outputs=outs)))
    return cases


def _incremental_cases(fx):
    s = fx.store
    warm = vc.IncrementalReducer()
    warm.step(s)

    def fresh_run():
        r = vc.IncrementalReducer()
        part = vc.GraphStore()
        part.add_source("x")
        r.step(part)
        part.add_op("neg", [0])
        part.add_op("add", [0, 1])
        part.add_op("add", [1, 0])
        r.step(part)
        r.step(part)
        r.finalize(part, outputs=[3])
        return r.watermark(), r.total_work(), r.canonical_count()

    return [
        ("construct", lambda: _expect(None, vc.IncrementalReducer)),
        ("step and finalize", fresh_run),
        ("step", lambda: _expect(None, warm.step, s)),
        ("step keyword", lambda: _expect(None, warm.step, store=s)),
        ("counters", lambda: (warm.watermark(), warm.total_work(), warm.canonical_count())),
        ("finalize", lambda: _expect(None, warm.finalize, s)),
        ("finalize outputs", lambda: _expect(None, warm.finalize, s, outputs=[fx.last, 0],
                                             maximal_fusion=True)),
        ("finalize bad id", lambda: _expect(ValueError, warm.finalize, s, outputs=[10**6])),
        ("finalize int flag", lambda: _expect(TypeError, warm.finalize, s, maximal_fusion=1)),
        ("finalize not a store", lambda: _expect(TypeError, warm.finalize, [s])),
        ("step not a store", lambda: _expect(TypeError, warm.step, 42)),
        ("step None", lambda: _expect(TypeError, warm.step, store=None)),
        ("step no store", lambda: _expect(TypeError, warm.step)),
        ("counter with argument", lambda: _expect(TypeError, warm.watermark, 1)),
    ]


def _try(fn, *args):
    # For hooks whose failure mode is the implementer's: any ordinary exception
    # is fine, only leaks matter here.
    try:
        fn(*args)
    except Exception:
        pass


def _collect():
    # On the free-threaded debug build a reference cycle can hold a memory
    # block until a second collection; three settle it, as CPython's own leak
    # hunting does.
    for _ in range(3):
        gc.collect()


def _deltas(fn):
    """Reference-total and block-count deltas of the measured rounds."""
    rc_deltas = [0] * (WARMUPS + MEASURED)
    block_deltas = [0] * (WARMUPS + MEASURED)
    rc0 = rc1 = b0 = b1 = 0
    for i in range(WARMUPS + MEASURED):
        _collect()
        b0 = sys.getallocatedblocks()
        rc0 = sys.gettotalrefcount()
        for _ in range(REPEAT):
            fn()
        _collect()
        rc1 = sys.gettotalrefcount()
        b1 = sys.getallocatedblocks()
        rc_deltas[i] = rc1 - rc0
        block_deltas[i] = b1 - b0
    return rc_deltas[WARMUPS:], block_deltas[WARMUPS:]


def _leaks(deltas, per_round=1):
    # A leak grows the count in every measured round; one-off growth (a cache
    # filling, a free list settling) does not.
    return all(d >= per_round for d in deltas)


@unittest.skipUnless(DEBUG_BUILD, "reference counts need a debug interpreter")
class ReferenceLeakTest(unittest.TestCase):
    def setUp(self):
        self.fx = Fixture()

    def check(self, cases):
        for name, fn in cases:
            with self.subTest(case=name):
                fn()  # the outcome itself, once, outside the measurement
                rc, blocks = _deltas(fn)
                if _leaks(rc) or _leaks(blocks, REPEAT):
                    # Something still settling (a cache, a resized table)
                    # fades; a leak repeats. Measure once more to tell.
                    rc, blocks = _deltas(fn)
                self.assertFalse(_leaks(rc), "references leak per round: %s" % rc)
                # The measurement itself moves a block or so per round (the
                # ints it records), so only a block per call counts as a leak.
                self.assertFalse(_leaks(blocks, REPEAT),
                                 "memory blocks leak per round: %s" % blocks)

    def test_module_functions_and_construction(self):
        self.check(_module_cases(self.fx))

    def test_payload_descriptor(self):
        self.check(_descriptor_cases(self.fx))

    def test_builders_successes_and_every_error(self):
        self.check(_builder_cases(self.fx))

    def test_inspection_views(self):
        self.check(_inspection_cases(self.fx))

    def test_serialize_and_deserialize_including_bad_blobs(self):
        self.check(_persistence_cases(self.fx))

    def test_reductions(self):
        self.check(_reduction_cases(self.fx))

    def test_incremental_reducer(self):
        self.check(_incremental_cases(self.fx))

    def test_a_leaking_case_is_detected(self):
        # The detector itself: one reference kept per call must be caught.
        kept = []
        rc, _ = _deltas(lambda: kept.append(object()))
        self.assertTrue(_leaks(rc), rc)
        rc, _ = _deltas(lambda: vc.GraphStore().add_source("x"))
        self.assertFalse(_leaks(rc), rc)


def _rss_bytes():
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except (OSError, ValueError):
        return None


class MemoryStaysFlatTest(unittest.TestCase):
    CALLS = 1_000_000
    DISTINCT = 500
    # Generous against allocator noise, far below what a leak of even a few
    # bytes per call would add over a million calls.
    SLACK = 4 << 20

    @unittest.skipIf(_rss_bytes() is None, "no /proc/self/statm here")
    def test_a_million_builder_calls_on_one_store(self):
        s = vc.GraphStore()
        x = s.add_source("x")
        params = [{"scalar": float(i), "side": "r"} for i in range(self.DISTINCT)]
        names = ["add", "mul", "neg", "abs", "exp"]
        bad = [x, 10**9]

        def run(calls):
            for i in range(calls):
                if i % 16 == 0:
                    try:
                        s.add_op("add", bad)
                    except ValueError:
                        pass
                else:
                    s.add_op(names[i % 5], [x], params[i % self.DISTINCT])

        # Warm up until every distinct key is stored: from here on the store
        # no longer grows, so neither may the process.
        run(self.CALLS // 10)
        count = s.node_count()
        self.assertEqual(count, 1 + self.DISTINCT)
        gc.collect()
        before = _rss_bytes()
        run(self.CALLS)
        gc.collect()
        after = _rss_bytes()
        self.assertEqual(s.node_count(), count, "the store grew after warm-up")
        if before is None or after is None:
            self.skipTest("/proc/self/statm went away during the run")
        self.assertLess(after - before, self.SLACK,
                        "resident size grew by %d bytes over %d calls" % (after - before,
                                                                          self.CALLS))


if __name__ == "__main__":
    unittest.main()
