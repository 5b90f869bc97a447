"""Recording a graph: construction, the six builders, interning and conversion."""

import math
import unittest

from support import vc

PARAM_VALUES = "param values must be int, float, bool, or str"
FIELDS = dict(kind="k", content_hash="h", framework="f", version="1", io_schema="s")


def params_of(store, node_id):
    return store.nodes()[node_id]["params"]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Floaty:
    def __float__(self):
        return 2.5


class ConstructionTest(unittest.TestCase):
    def test_new_store_is_empty(self):
        s = vc.GraphStore()
        self.assertEqual(s.node_count(), 0)
        self.assertEqual((s.nodes(), s.outputs(), s.node_map()), ([], [], []))

    def test_constructor_takes_no_arguments(self):
        for args, kwargs in (((1,), {}), ((), {"x": 1})):
            with self.assertRaises(TypeError):
                vc.GraphStore(*args, **kwargs)


class InterningTest(unittest.TestCase):
    def test_equal_keys_share_the_earliest_id(self):
        s = vc.GraphStore()
        self.assertEqual([s.add_source("x"), s.add_source("x")], [0, 0])
        self.assertEqual(s.node_count(), 1)
        self.assertEqual(s.add_source("y"), 1)
        self.assertEqual(s.add_op("neg", [1]), 2)
        self.assertEqual(s.add_op("neg", [1]), 2)
        self.assertEqual(s.node_count(), 3)

    def test_each_kind_is_its_own_node(self):
        s = vc.GraphStore()
        x = s.add_source("x")
        ids = {s.add_op("f", [x]), s.add_reduction("f", [x]), s.add_exchange([x]),
               s.add_join([x]), s.add_external(FIELDS, [x])}
        self.assertEqual(len(ids), 5)

    def test_input_order_count_and_duplicates_are_identity(self):
        s = vc.GraphStore()
        a, b, c = s.add_source("a"), s.add_source("b"), s.add_source("c")
        ids = [s.add_exchange([]), s.add_exchange([a, b, c]), s.add_join([a]),
               s.add_join([a, b]), s.add_join([b, a]), s.add_op("f", [a, a])]
        self.assertEqual(len(set(ids)), len(ids))
        self.assertEqual(s.nodes()[ids[-1]]["inputs"], [a, a])

    def test_accepted_input_sequences(self):
        s = vc.GraphStore()
        s.add_source("a")
        s.add_source("b")
        first = s.add_op("add", [0, 1])
        for seq in ((0, 1), range(2), [Index(0), Index(1)], [False, True]):
            with self.subTest(seq=seq):
                self.assertEqual(s.add_op("add", seq), first)

    def test_all_parameters_accept_keywords(self):
        s = vc.GraphStore()
        x = s.add_source(name="x", params={"n": 1})
        self.assertEqual(s.add_op(params=None, inputs=[x], name="f"), s.add_op("f", [x]))
        s.add_reduction(name="r", inputs=[x])
        s.add_external(descriptor=FIELDS, inputs=[x], params={})
        s.add_exchange(inputs=[x])
        s.add_join(inputs=[x], params={"how": "inner"})
        self.assertEqual(s.node_count(), 6)

    def test_binding_errors(self):
        s = vc.GraphStore()
        s.add_source("x")
        calls = [
            lambda: s.add_source(),
            lambda: s.add_source("x", None, 3),
            lambda: s.add_source(nme="x"),
            lambda: s.add_source("x", name="y"),
            lambda: s.add_op("f"),
            lambda: s.add_external(FIELDS),
            lambda: s.add_join(),
            lambda: s.node_count(1),
            lambda: vc.GraphStore.add_source(42, "x"),
        ]
        for i, call in enumerate(calls):
            with self.subTest(call=i), self.assertRaises(TypeError):
                call()
        self.assertEqual(s.node_count(), 1)


class ParamsTest(unittest.TestCase):
    def test_empty_forms_and_key_order_do_not_matter(self):
        s = vc.GraphStore()
        self.assertEqual({s.add_source("x"), s.add_source("x", None), s.add_source("x", {}),
                          s.add_source("x", params=None)}, {0})
        a = s.add_source("y", {"b": 1, "a": 2})
        self.assertEqual(s.add_source("y", {"a": 2, "b": 1}), a)
        self.assertEqual(list(params_of(s, a)), ["a", "b"])

    def test_value_kinds_are_distinct(self):
        s = vc.GraphStore()
        ids = [s.add_source("x", {"a": v}) for v in (1, True, 1.0, "1")]
        self.assertEqual(ids, [0, 1, 2, 3])
        values = [params_of(s, i)["a"] for i in ids]
        self.assertEqual([type(v) for v in values], [int, bool, float, str])

    def test_classification_rules(self):
        s = vc.GraphStore()

        class Text(str):
            pass

        cases = [
            (2**63 - 1, int, 2**63 - 1),
            (-2**63, int, -2**63),
            (2**63, float, 9223372036854775808.0),
            (-2**63 - 1, float, float(-2**63 - 1)),
            (Index(7), int, 7),
            (Floaty(), float, 2.5),
            (Text("t"), str, "t"),
            (False, bool, False),
        ]
        for value, kind, stored in cases:
            with self.subTest(value=value):
                got = params_of(s, s.add_source("x", {"a": value}))["a"]
                self.assertIs(type(got), kind)
                self.assertEqual(got, stored)

    def test_floats_compare_by_pattern_with_nans_folded(self):
        s = vc.GraphStore()
        nan = s.add_source("x", {"a": float("nan")})
        self.assertEqual(s.add_source("x", {"a": -float("nan")}), nan)
        self.assertTrue(math.isnan(params_of(s, nan)["a"]))
        self.assertNotEqual(s.add_source("x", {"a": 0.0}), s.add_source("x", {"a": -0.0}))

    def test_rejected_values(self):
        s = vc.GraphStore()
        for value in (10**400, None, [1], b"x", 1j, object()):
            with self.subTest(value=value):
                with self.assertRaises(TypeError) as cm:
                    s.add_source("x", {"a": value})
                self.assertEqual(str(cm.exception), PARAM_VALUES)
        with self.assertRaises(TypeError) as cm:
            s.add_source("x", {1: 2})
        self.assertNotEqual(str(cm.exception), PARAM_VALUES)
        for params in ([("a", 1)], (), "a=1", 5):
            with self.subTest(params=params):
                with self.assertRaises(TypeError) as cm:
                    s.add_source("x", params)
                self.assertEqual(str(cm.exception), "params must be a dict or None")
        self.assertEqual(s.node_count(), 0)

    def test_dict_subclass_is_read_as_a_dict(self):
        class Params(dict):
            def items(self):
                raise AssertionError("read through the dict protocol")

        s = vc.GraphStore()
        self.assertEqual(s.add_source("x", Params(n=3)), s.add_source("x", {"n": 3}))

    def test_dict_changed_while_read_is_a_runtime_error(self):
        d = {}

        class Grow:
            def __index__(self):
                d["zz"] = 1
                return 1

        class Swap:
            def __index__(self):
                d.pop("a")
                d["c"] = 1
                return 1

        class SwapUnread:  # the removed key was not read yet: only its place tells
            def __index__(self):
                d.pop("b")
                d["c"] = 7
                return 1

        s = vc.GraphStore()
        x = s.add_source("x")
        for hook, message in ((Grow, "dictionary changed size during iteration"),
                              (Swap, "dictionary keys changed during iteration"),
                              (SwapUnread, "dictionary keys changed during iteration")):
            with self.subTest(hook=hook.__name__):
                d.clear()
                d.update(a=hook(), b=2)
                with self.assertRaises(RuntimeError) as cm:
                    s.add_op("f", [x], d)
                self.assertEqual(str(cm.exception), message)
                self.assertEqual(s.node_count(), 1)


class UnencodableTextTest(unittest.TestCase):
    def test_lone_surrogates_are_refused(self):
        s = vc.GraphStore()
        for call in (lambda: s.add_source("\ud800"), lambda: s.add_source("x", {"\udfff": 1}),
                     lambda: s.add_source("x", {"k": "\ud800"}),
                     lambda: s.add_external({**FIELDS, "kind": "\ud800"}, [])):
            with self.assertRaises(UnicodeEncodeError):
                call()
        self.assertEqual(s.node_count(), 0)


class HookErrorTest(unittest.TestCase):
    """Only "not this kind" moves a conversion on; an interrupt or a MemoryError
    raised by a hook comes out unchanged and leaves the store as it was."""

    def test_errors_that_are_no_conversion_failure_pass_unchanged(self):
        class IndexRaises:
            def __index__(self):
                raise error

            def __float__(self):  # what the interrupted value would be stored as
                return 2.5

        class FloatRaises:
            def __float__(self):
                raise error

        class KindKey:  # looked up as "kind", and raising when compared to it
            def __hash__(self):
                return hash("kind")

            def __eq__(self, other):
                raise error

        s = vc.GraphStore()
        x = s.add_source("x")
        rest = {k: v for k, v in FIELDS.items() if k != "kind"}
        calls = {
            "param through __index__": lambda: s.add_op("f", [x], {"k": IndexRaises()}),
            "param through __float__": lambda: s.add_op("f", [x], {"k": FloatRaises()}),
            "descriptor field": lambda: s.add_external({KindKey(): "k", **rest}, [x]),
            "node id": lambda: s.add_op("f", [x, IndexRaises()]),
        }
        for error_type in (KeyboardInterrupt, SystemExit, MemoryError):
            for where, call in calls.items():
                error = error_type()
                with self.subTest(error=error_type.__name__, where=where):
                    with self.assertRaises(error_type) as cm:
                        call()
                    self.assertIs(cm.exception, error)
                    self.assertEqual(s.node_count(), 1)


class InputsTest(unittest.TestCase):
    def setUp(self):
        self.s = vc.GraphStore()
        self.s.add_source("a")
        self.s.add_source("b")

    def test_unknown_id_names_the_first_offender(self):
        with self.assertRaises(ValueError) as cm:
            self.s.add_op("add", [0, 9, 7])
        self.assertEqual(str(cm.exception), "no node with id 9")
        for call in (lambda: self.s.add_join([2]), lambda: self.s.add_exchange([2**64 - 1])):
            with self.assertRaises(ValueError):
                call()
        self.assertEqual(self.s.node_count(), 2)

    def test_rejected_input_containers(self):
        for inputs in ("01", iter([0]), {0}, (i for i in [0]), {0: 1}, 0, None):
            with self.subTest(inputs=inputs):
                with self.assertRaises(TypeError) as cm:
                    self.s.add_op("add", inputs)
                self.assertIn("inputs", str(cm.exception))
        with self.assertRaises(TypeError) as cm:
            self.s.add_join([0, 1.0])
        self.assertIn("inputs", str(cm.exception))

    def test_list_changed_while_read(self):
        inputs = []

        class Shrink:
            def __index__(self):
                inputs.clear()
                return 1

        inputs.extend([Shrink(), 0, 0])
        node = self.s.add_op("f", inputs)
        self.assertEqual(self.s.nodes()[node]["inputs"], [1])

    def test_out_of_range_ids_pass_their_overflow_error(self):
        for bad in (-1, 2**64):
            with self.subTest(id=bad), self.assertRaises(OverflowError):
                self.s.add_op("f", [bad])
        self.assertEqual(self.s.node_count(), 2)


class ConversionOrderTest(unittest.TestCase):
    def setUp(self):
        self.s = vc.GraphStore()
        self.s.add_source("x")

    def assert_fails_on(self, call, exc, fragment):
        with self.assertRaises(exc) as cm:
            call()
        self.assertIn(fragment, str(cm.exception))

    def test_name_then_inputs_then_params(self):
        s = self.s
        for method in (s.add_op, s.add_reduction):
            self.assert_fails_on(lambda: method(5, "01", 5), TypeError, "name")
            self.assert_fails_on(lambda: method("f", "01", 5), TypeError, "inputs")
            self.assert_fails_on(lambda: method("f", [9], 5), TypeError, "params must be")
        self.assert_fails_on(lambda: s.add_source(5, 5), TypeError, "name")

    def test_external_converts_inputs_before_descriptor(self):
        s = self.s
        self.assert_fails_on(lambda: s.add_external("d", "01", 5), TypeError, "inputs")
        self.assert_fails_on(lambda: s.add_external("d", [9], 5), TypeError,
                             "descriptor must be a PayloadDescriptor or dict")
        self.assert_fails_on(lambda: s.add_external({}, [9], 5), ValueError,
                             "descriptor missing required field 'kind'")
        self.assert_fails_on(lambda: s.add_external(FIELDS, [9], 5), TypeError,
                             "params must be")
        self.assert_fails_on(lambda: s.add_external(FIELDS, [9]), ValueError,
                             "no node with id 9")

    def test_boundaries_convert_inputs_before_params(self):
        for method in (self.s.add_exchange, self.s.add_join):
            self.assert_fails_on(lambda: method("01", 5), TypeError, "inputs")
            self.assert_fails_on(lambda: method([9], 5), TypeError, "params must be")
        self.assertEqual(self.s.node_count(), 1)


class DescriptorTest(unittest.TestCase):
    def test_constructed_value_and_properties(self):
        d = vc.PayloadDescriptor(**FIELDS)
        self.assertEqual([d.kind, d.content_hash, d.framework, d.version, d.io_schema],
                         ["k", "h", "f", "1", "s"])
        self.assertIsNone(d.preprocessing_ref)
        e = vc.PayloadDescriptor(**FIELDS, preprocessing_ref="")
        self.assertEqual(e.preprocessing_ref, "")
        with self.assertRaises(AttributeError):
            d.kind = "other"
        self.assertNotEqual(d, vc.PayloadDescriptor(**FIELDS))

    def test_constructor_argument_errors(self):
        with self.assertRaises(TypeError):
            vc.PayloadDescriptor("k", "h", "f", "v", "s")
        with self.assertRaises(TypeError):
            vc.PayloadDescriptor(kind="k")
        for field in list(FIELDS) + ["preprocessing_ref"]:
            with self.subTest(field=field):
                with self.assertRaises(TypeError) as cm:
                    vc.PayloadDescriptor(**{**FIELDS, field: 5})
                self.assertIn(field, str(cm.exception))
        with self.assertRaises(TypeError) as cm:
            vc.PayloadDescriptor(**{**FIELDS, "io_schema": None})
        self.assertIn("io_schema", str(cm.exception))
        with self.assertRaises(TypeError) as cm:
            vc.PayloadDescriptor(kind=1, content_hash=2, framework="f", version="v", io_schema="s")
        self.assertIn("kind", str(cm.exception))

    def test_dict_and_instance_build_the_same_node(self):
        s = vc.GraphStore()
        inst = s.add_external(vc.PayloadDescriptor(**FIELDS), [])
        self.assertEqual(s.add_external(dict(FIELDS), []), inst)
        self.assertEqual(s.add_external({**FIELDS, "preprocessing_ref": None}, []), inst)
        self.assertEqual(s.add_external({**FIELDS, "extra": [1]}, []), inst)
        self.assertNotEqual(s.add_external({**FIELDS, "preprocessing_ref": ""}, []), inst)
        self.assertNotEqual(s.add_external({**FIELDS, "version": "2"}, []), inst)

    def test_dict_errors(self):
        s = vc.GraphStore()
        partial = {"kind": "k", "content_hash": "h", "framework": "f", "version": "1"}
        with self.assertRaises(ValueError) as cm:
            s.add_external(partial, [])
        self.assertEqual(str(cm.exception), "descriptor missing required field 'io_schema'")
        with self.assertRaises(TypeError):
            s.add_external({**partial, "io_schema": "s", "kind": None}, [])
        with self.assertRaises(TypeError):
            s.add_external({**FIELDS, "preprocessing_ref": 3}, [])
        with self.assertRaises(TypeError) as cm:
            s.add_external("x", [])
        self.assertEqual(str(cm.exception), "descriptor must be a PayloadDescriptor or dict")
        self.assertEqual(s.node_count(), 0)

    def test_preprocessing_ref_is_read_before_the_required_fields(self):
        with self.assertRaises(TypeError):
            vc.GraphStore().add_external({"preprocessing_ref": 1}, [])

    def test_missing_hook_of_a_dict_subclass_is_not_consulted(self):
        class Defaulting(dict):
            def __missing__(self, key):
                return "default"

        with self.assertRaises(ValueError) as cm:
            vc.GraphStore().add_external(Defaulting(kind="k"), [])
        self.assertEqual(str(cm.exception), "descriptor missing required field 'content_hash'")


if __name__ == "__main__":
    unittest.main()
