"""The four rewrite rules on source snippets, for the native class and the model alike."""
import gast
import pytest

from conftest import expr, make_processor, render
from interpreter import canonical
from combined_source.utils.ZOK import FrontendTorchCodePostProcessor
from model import ModelPostProcessor

CONV = "torch.nn.modules.conv._ConvNd"
MAP = {"torch.float32": "orb.float32", "x.orb_array": "w2", "torch.Tensor": "never"}


@pytest.fixture(params=[FrontendTorchCodePostProcessor, ModelPostProcessor], ids=["zok", "model"])
def cls(request):
    return request.param


def run(cls, source, api=False, name="", mapping=None, new_name=None, passes=1):
    tree = gast.parse(source)
    for _ in range(passes):
        make_processor(tree, api, name, mapping, new_name, cls=cls).transform()
    return render(tree)


def case(source, expected=None, api=False, name="", env=None, mapping=None, new_name=None):
    """One row: `expected` None means the source must come back unchanged."""
    row = (source, source if expected is None else expected, api, name, env, mapping, new_name)
    return pytest.param(*row, id="%s|api=%s|%s|env=%r" % (source[:40], api, name[-7:], env))


ON = "true"
OFF_VALUES = [None, "", "True", "TRUE", "true ", " true", "1", "yes"]

KEYWORDS = [
    case("f(data_format='NCHW')", "f(data_format='NHWC')", env=ON),
    case("f(filter_format='channel_first')", "f(filter_format='channel_last')", env=ON),
    case("f(data_format='NCS', filter_format='NCHW')", "f(data_format='NSC', filter_format='NHWC')", env=ON),
    case("class A(B, data_format='NCHW'):\n    pass", "class A(B, data_format='NHWC'):\n    pass", env=ON),
    *[case("f(data_format=%s)" % v, env=ON) for v in
      ("'channel_last'", "'NHWC'", "'NSC'", "'nchw'", "'Ncs'", "' NCHW'", "1", "None", "b'NCHW'",
       "NCHW", "x.NCHW", "g('NCHW')", "('NCHW' if a else 'NCS')")],
    case("f(layout='NCHW', Data_format='NCS', **{'data_format': 'NCHW'})", env=ON),
    *[case("f(data_format='NCHW', filter_format='NCS')", env=v) for v in OFF_VALUES],
]

NAMES = [
    case("Tensor", "orb.Array"), case("x = Parameter(y)", "x = orb.Array(y)"),
    case("Tensor = 1", "orb.Array = 1"),
    *[case(s) for s in ("tensor", "Tensors", "MyTensor", "parameter", "self", "self.x", "PARAMETER")],
    case("def f(self, x):\n    return self", "def f(arr, x):\n    return arr", api=True),
    case("self = self + myself", "me = (me + myself)", api=True, new_name="me"),
    case("(Tensor, Parameter, Self)", api=True),
]

ATTRIBUTES = [
    *[case(s, "orb.Array") for s in ("torch.Tensor", "torch_frontend.Tensor", "nn.Parameter",
                                     "torch.nn.Parameter", "torch.nn.parameter.Parameter")],
    case("torch.nn.Module", "orb.Module"), case("nn.Module", "orb.Module", api=True),
    case("torch.Tensor.add(x)", "orb.Array.add(x)"), case("torch.Tensor", "orb.Array", mapping=MAP),
    *[case(s) for s in ("torch.tensor", "x.Tensor", "torch.nn.module", "nn.Parameters", "torch.int16")],
    case("x.astype(torch.float32)", "x.astype(orb.float32)", mapping=MAP),
    case("(x.orb_array, self.orb_array)", "(w2, arr)", api=True, mapping=MAP),
    case("self.weight", "arr.weight", api=True), case("self.orb_array", "arr", api=True),
    case("(x.orb_array, self.my_orb_array_2)", "(x, arr)", api=True),
    case("(f().orb_array, a.b.orb_array)", "(f(), a.b)", api=True),
    case("(self.orb_Array, x.self)", "(arr.orb_Array, x.self)", api=True),
    case("(self.orb_array, self.weight)"),
]

CALLS = [
    case("orb.inplace_update(x, y)", "orb.inplace_update(x, y).data"),
    case("f(orb.inplace_update(a, b))", "f(orb.inplace_update(a, b).data)"),
    case("orb.Array(x, requires_grad=True, dtype=d)", "orb.Array(x, dtype=d)"),
    case("orb.Array(x, requires_grad=True, **kw)", "orb.Array(x, **kw)"),
    case("(ArrayLike(requires_grad=1), make_Array(x, requires_grad=True))", "(ArrayLike(), make_Array(x))"),
    case("(array(x, requires_grad=True), orb.array(requires_grad=1))"),
    case("torch.Tensor(x, requires_grad=True)", "orb.Array(x)"),
    case("(nn.Parameter(x, requires_grad=False), Parameter(requires_grad=y))", "(orb.Array(x), orb.Array())"),
    case("np.log2(8)", "np.log2(8).astype('float32')"),
    *[case(s) for s in ("np.log2(16)", "np.log2(8.0)", "math.log2(8)", "np.log2(x=8)")],
    case("np.zeros((channels, channels))", "np.zeros((channels, channels), dtype='float32')"),
    *[case(s) for s in ("np.zeros((channels, channels), dtype='float32')", "np.zeros((c, c))")],
    case("orb_empty((in_channels, out_channels // groups, k1, k2))",
         "orb_empty((k2, k1, (out_channels // groups), in_channels))", env=ON, name=CONV),
    case("orb_empty((out_channels, in_channels, k), x)", "orb_empty((k, in_channels, out_channels), x)",
         env=ON, name="_ConvNd"),
    *[case(s, env=ON, name=CONV) for s in
      ("orb_empty((in_channels, out_channels))", "orb_empty((groups, in_channels, k))",
       "orb_empty((self.in_channels, c, k))", "orb_empty([in_channels, c, k])", "orb_empty(shape)",
       "orb_empty()", "orb_empty(shape=(in_channels, a, b))", "orb.empty((in_channels, a, b))",
       "orb_empty(*(in_channels, a, b))", "orb_empty((In_channels, a, b))",
       "orb_empty_like((in_channels, a, b))", "my_orb_empty((in_channels, a, b))",
       "x.orb_empty((in_channels, a, b))")],
    *[case("orb_empty((in_channels, a, b))", env=ON, name=n) for n in ("Conv2d", "_convnd", "")],
    *[case("orb_empty((in_channels, a, b))", env=v, name=CONV) for v in OFF_VALUES],
]


@pytest.mark.parametrize("source, expected, api, name, env, mapping, new_name",
                         KEYWORDS + NAMES + ATTRIBUTES + CALLS)
def test_rule_table(cls, transpose, source, expected, api, name, env, mapping, new_name):
    transpose(env)
    assert run(cls, source, api, name, mapping, new_name) == canonical(expected)


EXAMPLE = """\
class C(torch.nn.Module):
    def f(self, x: torch.Tensor) -> Tensor:
        w = nn.Parameter(orb_empty((out_channels, in_channels, k, k)), requires_grad=True)
        y = orb.conv2d(x, data_format='NCHW', filter_format='channel_first', dtype=torch.float32)
        z = self.orb_array * np.log2(16)
        return np.zeros((channels, channels))"""


@pytest.mark.parametrize("api", [False, True])
def test_second_pass_changes_nothing_more(cls, transpose, api):
    transpose(ON)
    kw = dict(api=api, name=CONV, mapping=MAP)
    assert run(cls, EXAMPLE, passes=2, **kw) == run(cls, EXAMPLE, **kw)


@pytest.mark.parametrize("source, twice", [
    ("np.log2(8)", "np.log2(8).astype('float32').astype('float32')"),
    ("orb.inplace_update(a, b)", "orb.inplace_update(a, b).data.data"),
    ("orb_empty((in_channels, k, out_channels))", "orb_empty((in_channels, k, out_channels))")])
def test_second_pass_applies_again(cls, transpose, source, twice):
    # These rules still match their own output, so a second pass rewrites again.
    transpose(ON)
    assert run(cls, source, name=CONV, passes=2) == twice


def test_keyword_and_constant_are_changed_in_place(cls, transpose):
    transpose(ON)
    kw = expr("f(data_format='NCS')").keywords[0]
    constant = kw.value
    assert make_processor(None, cls=cls).visit_keyword(kw) is kw
    assert kw.value is constant and constant.value == "NSC" and kw.arg == "data_format"


def test_reversed_shape_keeps_tuple_and_elements(cls, transpose):
    transpose(ON)
    call = expr("orb_empty((in_channels, a, b))")
    shape, old = call.args[0], call.args[0].elts
    before = list(old)
    assert make_processor(None, name=CONV, cls=cls).visit_Call(call) is call
    assert call.args[0] is shape and shape.elts is not old and old == before
    assert all(a is b for a, b in zip(shape.elts, reversed(before)))


def test_mended_orb_empty_without_positional_args(cls, transpose):
    transpose(ON)
    call = expr("orb_empty(shape=(in_channels, a, b))")
    assert make_processor(None, name=CONV, cls=cls).visit_Call(call) is call
    assert render(call) == "orb_empty(shape=(in_channels, a, b))"


def test_inplace_update_wraps_the_very_call(cls):
    call = expr("orb.inplace_update(a, b)")
    out = make_processor(None, cls=cls).visit_Call(call)
    assert isinstance(out, gast.Attribute) and out.value is call and out.attr == "data"
    assert isinstance(out.ctx, gast.Load) and render(out) == "orb.inplace_update(a, b).data"


@pytest.mark.parametrize("source, removed", [("orb.Array(x, dtype=d)", 0), ("orb.Array(requires_grad=1, d=2)", 1)])
def test_array_keywords_become_a_new_list(cls, source, removed):
    call = expr(source)
    old = call.keywords
    before = list(old)
    make_processor(None, cls=cls).visit_Call(call)
    assert call.keywords is not old and old == before
    assert all(a is b for a, b in zip(call.keywords, before[removed:]))
    assert len(call.keywords) == len(before) - removed


def test_orb_array_access_returns_renamed_receiver(cls):
    node = expr("self.orb_array")
    receiver = node.value
    out = make_processor(None, api=True, cls=cls).visit_Attribute(node)
    assert out is receiver and out.id == "arr"


@pytest.mark.parametrize("source", ["(Tensor, Parameter)", "(torch.Tensor, nn.Parameter)"])
def test_replacements_are_distinct_load_nodes(cls, source):
    tree = gast.parse(source)
    make_processor(tree, cls=cls).transform()
    a, b = tree.body[0].value.elts
    assert a is not b and a.value is not b.value
    assert all(isinstance(n.ctx, gast.Load) and render(n) == "orb.Array" for n in (a, b))


def test_target_replacement_takes_load_context(cls):
    tree = gast.parse("Tensor = 1")
    make_processor(tree, cls=cls).transform()
    assert isinstance(tree.body[0].targets[0].ctx, gast.Load)


@pytest.mark.parametrize("text", ["torch.Tensor", "torch_frontend.Tensor"])
def test_name_is_matched_on_rendered_text(cls, text):
    out = make_processor(None, cls=cls).visit_Name(gast.Name(text, gast.Load(), None, None))
    assert isinstance(out, gast.Attribute) and render(out) == "orb.Array"


@pytest.mark.parametrize("method, source, api", [
    ("visit_Name", "Tensor", True), ("visit_Name", "self", False),
    ("visit_Attribute", "self.weight", False), ("visit_Attribute", "x.orb_arr", True),
    ("visit_Call", "f(x, requires_grad=1)", False)])
def test_untouched_node_is_returned_itself(cls, method, source, api):
    node = expr(source)
    text = render(node)
    assert getattr(make_processor(None, api=api, cls=cls), method)(node) is node
    assert render(node) == text
