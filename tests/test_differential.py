"""Generated trees rewritten by the native class and by the Python model must agree."""
import os

import gast
from hypothesis import HealthCheck, given, settings, strategies as st

from conftest import ENV, make_processor, render
from combined_source.utils.ZOK import FrontendTorchCodePostProcessor
from model import ModelPostProcessor

NAMES = ["x", "self", "Tensor", "Parameter", "tensor", "in_channels", "out_channels", "channels", "groups", "k"]
CHAINS = ["torch.Tensor", "torch_frontend.Tensor", "nn.Parameter", "torch.nn.Parameter",
          "torch.nn.parameter.Parameter", "torch.nn.Module", "nn.Module", "torch.float32", "torch.int8",
          "self.orb_array", "self.weight", "x.orb_array", "self.my_orb_array", "torch.Tensor.add", "orb.Array",
          "self.in_channels", "torch.tensor"]
FIXED = ["np.log2(8)", "np.log2(16)", "np.zeros((channels, channels))", "np.zeros((c, c))",
         "orb_empty((in_channels, a, b))", "orb_empty((out_channels, in_channels, k, k))",
         "orb_empty((in_channels, a))", "orb_empty([in_channels, a, b])", "orb_empty()", "orb_empty(shape)",
         "orb_empty((groups, a, b))", "orb.Array(x, requires_grad=True)", "orb.inplace_update(a, b)"]
CALLEES = ["orb.inplace_update", "orb.Array", "ArrayLike", "array", "orb_empty", "np.log2", "np.zeros", "f",
           "torch.Tensor", "nn.Parameter", "Parameter", "self.orb_array", "make_Array"]
KEYWORDS = ["requires_grad", "data_format", "filter_format", "dtype", "layout"]
LAYOUTS = ["'channel_first'", "'NCHW'", "'NCS'", "'NHWC'", "'nchw'", "'channel_last'", "1", "None"]
MAPPINGS = [{}, {"torch.float32": "orb.float32", "self.weight": "w", "x.orb_array": "y.z", "arr.weight": "q"}]

leaf = st.one_of(st.sampled_from(NAMES), st.sampled_from(CHAINS), st.sampled_from(FIXED), st.sampled_from(["8", "'s'"]))


def extend(inner):
    names = st.lists(st.sampled_from(KEYWORDS + ["**"]), unique=True, max_size=3)
    values = st.lists(st.one_of(st.sampled_from(LAYOUTS), inner), min_size=3, max_size=3)
    keywords = st.tuples(names, values).map(
        lambda t: ["**kw" if k == "**" else "%s=%s" % (k, v) for k, v in zip(*t)])
    call = st.tuples(st.one_of(st.sampled_from(CALLEES), inner), st.lists(inner, max_size=3), keywords)
    return st.one_of(
        call.map(lambda c: "%s(%s)" % (c[0], ", ".join(c[1] + c[2]))),
        st.tuples(inner, st.sampled_from(["orb_array", "weight", "Tensor", "data"])).map(lambda t: "(%s).%s" % t),
        st.lists(inner, min_size=2, max_size=4).map(lambda xs: "(%s)" % ", ".join(xs)),
        st.lists(inner, max_size=3).map(lambda xs: "[%s]" % ", ".join(xs)),
        st.tuples(inner, inner).map(lambda t: "(%s + %s)" % t))


def nested(depth):
    return leaf if depth == 0 else st.one_of(leaf, extend(nested(depth - 1)))


expressions = nested(3)
statements = st.one_of(
    expressions.map("v = %s".__mod__),
    expressions.map("def f(self, x):\n    return %s".__mod__),
    st.tuples(st.sampled_from(LAYOUTS), expressions).map(lambda t: "class C(B, data_format=%s):\n    w = %s" % t))
programs = st.lists(statements, min_size=1, max_size=3).map("\n".join)


def rewritten(cls, source, api, name, mapping, new_name):
    tree = gast.parse(source)
    make_processor(tree, api, name, mapping, new_name, cls=cls).transform()
    return render(tree)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture,
                                                                   HealthCheck.too_slow])
@given(source=programs, api=st.booleans(), name=st.sampled_from(["", "Conv2d", "nn._ConvNd", "nn._ConvNd"]),
       env=st.sampled_from([None, "true", "true", "True", "true "]), mapping=st.sampled_from(MAPPINGS),
       new_name=st.sampled_from([None, "me"]))
def test_module_agrees_with_model(source, api, name, env, mapping, new_name):
    if env is None:
        os.environ.pop(ENV, None)
    else:
        os.environ[ENV] = env
    try:
        expected = rewritten(ModelPostProcessor, source, api, name, mapping, new_name)
        assert rewritten(FrontendTorchCodePostProcessor, source, api, name, mapping, new_name) == expected
    finally:
        os.environ.pop(ENV, None)
