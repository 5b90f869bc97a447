"""Reductions keep meaning: every output and provenance entry of a reduced store
computes the value of the node it stands for. A node's value is a deterministic
function of its kind, name, params and inputs, with the algebra the rewrite
rules assume (eight commutative ops, four identity ops); a stage runs its members
through their references, so wrong fusion wiring shows as a wrong value."""

import random
import sys
import unittest

from support import vc

GRAPHS = 200 if hasattr(sys, "gettotalrefcount") else 600  # fewer on debug interpreters
COMMUTATIVE = ["add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"]
IDENTITIES = [("add", {"scalar": 0.0, "side": "r"}), ("add", {"scalar": 0.0, "side": "l"}),
              ("mul", {"scalar": 1.0, "side": "r"}), ("mul", {"scalar": 1.0, "side": "l"})]
# Lookalikes that stay ordinary ops: int 0, -0.0, the other scalar, side, more params.
NEAR_IDENTITIES = [("add", {"scalar": 0, "side": "r"}), ("add", {"scalar": -0.0, "side": "l"}),
                   ("mul", {"scalar": 0.0, "side": "r"}), ("mul", {"scalar": 1.0, "side": "x"}),
                   ("add", {"scalar": 0.0, "side": "r", "k": 1})]


def param_key(params):
    # repr keeps 0 apart from 0.0, -0.0 and False.
    return tuple(sorted((k, repr(v)) for k, v in params.items()))


IDENTITY_KEYS = {(name, param_key(params)) for name, params in IDENTITIES}


def apply(kind, name, params, args, extra=None):
    if kind == "op":
        if args and (name, param_key(params)) in IDENTITY_KEYS:
            return args[0]
        if name in COMMUTATIVE and not params and len(args) == 2:
            args = sorted(args)
    return hash((kind, name, param_key(params), extra, tuple(args)))


def evaluate(store):
    """One value per node: an int, or for a stage the list of its members' values."""
    values = []
    for node in store.nodes():
        args = [v[-1] if isinstance(v, list) else v
                for v in (values[i] for i in node["inputs"])]
        if node["kind"] == "stage":
            members = []
            for m in node["members"]:
                refs = [args[k] if word == "input" else members[k] for word, k in m["inputs"]]
                kind = "reduction" if m["kind"] == "red" else m["kind"]
                members.append(apply(kind, m["name"], m["params"], refs))
            values.append(members)
        else:
            extra = tuple(node["descriptor"].items()) if "descriptor" in node else None
            values.append(apply(node["kind"], node["name"], node["params"], args, extra))
    return values


def random_graph(rng, store, reducer):
    """Builds a random graph, stepping `reducer` at random points; returns its outputs."""
    ids = [store.add_source("s%d" % rng.randrange(3), rng.choice([None, {"n": 1}]))
           for _ in range(rng.randint(1, 3))]

    def pick():  # mostly recent nodes, for chains that fuse
        return rng.choice(ids[-4:] if rng.random() < 0.6 else ids)

    opaque = [lambda: store.add_reduction("sum", [pick()], {"axis": rng.randrange(2)}),
              lambda: store.add_exchange([pick()], {"scheme": "hash"}),
              lambda: store.add_join([pick(), pick()], {"how": "inner"}),
              lambda: store.add_external(dict(kind="m", content_hash=rng.choice("ab"),
                                              framework="f", version="1", io_schema="x"),
                                         [pick()])]

    for _ in range(rng.randint(4, 36)):
        roll = rng.random()
        if roll < 0.3:
            name, a, b = rng.choice(COMMUTATIVE), pick(), pick()
            ids.append(store.add_op(name, [a, b]))
            if rng.random() < 0.5:
                ids.append(store.add_op(name, [b, a]))
        elif roll < 0.45:
            name, params = rng.choice(IDENTITIES + NEAR_IDENTITIES)
            inputs = [pick()] if rng.random() < 0.9 else [pick(), pick()]
            ids.append(store.add_op(name, inputs, params))
        elif roll < 0.8:
            inputs = [pick() for _ in range(rng.randint(1, 3))]
            ids.append(store.add_op(rng.choice(["neg", "exp", "sub", "div", "where"]), inputs,
                                    rng.choice([None, {"k": rng.randrange(2)}])))
        else:
            ids.append(rng.choice(opaque)())
        if rng.random() < 0.2:
            reducer.step(store)
    return [rng.choice(ids) for _ in range(rng.randint(1, 4))]


class ReductionKeepsMeaningTest(unittest.TestCase):
    def check(self, before, live, outputs, reduced, label):
        after = evaluate(reduced)
        for i, entry in enumerate(reduced.node_map()):
            if entry is None:
                self.assertNotIn(i, live, (label, i))
                continue
            rid, member = entry
            got = after[rid] if member is None else after[rid][member]
            self.assertNotIsInstance(got, list, (label, i))
            self.assertEqual(got, before[i], (label, i, entry))
        marked = [after[rid] for rid in reduced.outputs()]
        self.assertEqual({v[-1] if isinstance(v, list) else v for v in marked},
                         {before[o] for o in outputs}, label)

    def test_random_graphs(self):
        rng = random.Random(16)
        for _ in range(GRAPHS):
            store, reducer = vc.GraphStore(), vc.IncrementalReducer()
            outputs = random_graph(rng, store, reducer)
            before, live = evaluate(store), set(outputs)
            inputs = [n["inputs"] for n in store.nodes()]
            for i in reversed(range(len(inputs))):  # live: what the outputs depend on
                live.update(inputs[i] if i in live else ())
            for maximal in (False, True):
                reduced, _ = store.reduce(outputs=outputs, maximal_fusion=maximal)
                self.check(before, live, outputs, reduced, ("reduce", maximal))
            reduced, _ = reducer.finalize(store, outputs=outputs,
                                          maximal_fusion=rng.random() < 0.5)
            self.check(before, live, outputs, reduced, "finalize")


if __name__ == "__main__":
    unittest.main()
