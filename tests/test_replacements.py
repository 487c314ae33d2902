"""The gast that the post-processor sees during a rewrite: the same trees as
gast's own parse, fresh each time, and put in place only where nothing else
was."""
import os
import sys
import warnings

import gast
import pytest

from combined_source.utils import rewrite_source
from combined_source.utils.rewrite import replacements
from combined_source.utils.ZOK import FrontendTorchCodePostProcessor

ZOK = sys.modules[FrontendTorchCodePostProcessor.__module__]
STOCK_PARSE = gast.parse


class Text(str):
    pass


def dump(tree):
    return gast.dump(tree, include_attributes=True)


def outcome(parse, text):
    """What `parse(text)` gives: its dump or its error, with the warnings."""
    with warnings.catch_warnings(record=True) as warned:
        warnings.simplefilter("always")
        try:
            result = ("tree", dump(parse(text)))
        except Exception as e:  # noqa: BLE001 - the error is what is compared
            result = ("error", type(e), str(e))
    return result, [(w.category, str(w.message)) for w in warned]


@pytest.mark.parametrize("text", [
    "orb.Array", "orb.Module", "orb.float32", "x", "_a.b_1.c", "None", "True",
    "np.log2(8).astype('float32')", "np.zeros((channels, channels),dtype='float32')",
    "orb.float32 if x else y", "'\\d'", "1 is 1", "1(2)", "orb.if", "orb..x", "", "  orb.Array", "orb.Array\n",
    "orb.Array # c", Text("orb.Array"), b"orb.Array", 5, None,
])
def test_same_as_gast(text):
    # Twice: the second time a kept standard tree is converted again.
    for _ in range(2):
        assert outcome(replacements.parse, text) == outcome(gast.parse, text)


@pytest.mark.filterwarnings("ignore::DeprecationWarning", "ignore::SyntaxWarning")
def test_only_plain_dotted_names_and_rule_texts_are_kept():
    for text in ("orb.x if y else z", "'\\d'", "1 is 1", Text("orb.Keep"), "orb.if"):
        try:
            replacements.parse(text)
        except SyntaxError:
            pass
    assert not {"orb.x if y else z", "'\\d'", "1 is 1", "orb.Keep", "orb.if"} & set(replacements._kept)
    replacements.parse("orb.Kept")
    assert "orb.Kept" in replacements._kept


@pytest.mark.parametrize("text", sorted(replacements.RULE_TEXTS) + ["orb.Array"])
def test_kept_texts_parse_without_warnings(text):
    # A kept tree would lose the warnings of the later parses.
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        compile(text, "<text>", "eval")


def test_no_two_parses_share_a_node():
    def nodes(tree):
        return {id(n) for n in gast.walk(tree)}

    for text in ("orb.Array", "np.zeros((channels, channels),dtype='float32')"):
        a, b = replacements.parse(text), replacements.parse(text)
        assert nodes(a).isdisjoint(nodes(b))
        b.body[0].value.ctx = None  # changing one leaves the next alone
        assert dump(replacements.parse(text)) == dump(a)


class RecordingGast:
    """Stands for gast in the module, seeing each parse."""

    def __init__(self):
        self.texts = []

    def __getattr__(self, name):
        return getattr(gast, name)

    def parse(self, text):
        self.texts.append(text)
        return STOCK_PARSE(text)


SOURCE = "x = torch.Tensor(3)\ny = torch.nn.Module\n"


def test_in_place_during_a_rewrite_and_put_back():
    seen = []
    original = replacements.parse

    def spy(text, *args, **kwargs):
        seen.append(ZOK.gast)
        return original(text, *args, **kwargs)

    replacements.FAST_GAST.parse = spy
    try:
        out = rewrite_source(SOURCE)
    finally:
        replacements.FAST_GAST.parse = original
    assert out == "x = orb.Array(3)\ny = orb.Module\n"
    assert seen and all(g is replacements.FAST_GAST for g in seen)
    assert ZOK.gast is gast


@pytest.mark.parametrize("where", ["module", "parse"])
def test_what_others_set_is_kept(monkeypatch, where):
    recording = RecordingGast()
    if where == "module":
        monkeypatch.setattr(ZOK, "gast", recording)
    else:
        monkeypatch.setattr(gast, "parse", recording.parse)
    assert rewrite_source(SOURCE) == "x = orb.Array(3)\ny = orb.Module\n"
    assert recording.texts == ["orb.Array", "orb.Module"]
    assert ZOK.gast is (recording if where == "module" else gast)


def test_put_back_after_a_failure():
    with pytest.raises(ZeroDivisionError):
        with replacements.installed(FrontendTorchCodePostProcessor):
            assert ZOK.gast is replacements.FAST_GAST
            1 / 0
    assert ZOK.gast is gast


def test_kept_texts_are_those_the_rules_parse(monkeypatch):
    """Every text the transpose rules hand to gast is a dotted name or one of
    the texts kept by name: a rule text changed in the module alone would
    otherwise quietly fall back to gast's slower parse."""
    recording = RecordingGast()
    monkeypatch.setattr(ZOK, "gast", recording)
    source = "s = np.log2(8)\nz = np.zeros((channels, channels))\nw = orb_empty((i, c, k))\n"
    rewrite_source(source, transpose=True, object_name="torch.nn.modules.conv._ConvNd")
    others = {t for t in recording.texts if not replacements._DOTTED.fullmatch(t)}
    assert others == replacements.RULE_TEXTS


class RecordingOs:
    """An `os` whose environ records the keys read."""

    def __init__(self, values):
        self.keys = []
        outer = self

        class Environ(dict):
            def get(self, key, default=None):
                outer.keys.append(key)
                return dict.get(self, key, default)

        self.environ = Environ(values)


TRANSPOSED = "s = np.log2(8)\nw = orb_empty((i, c, k))\ny = g(x, data_format='NCHW')\n"
CONV = "torch.nn.modules.conv._ConvNd"


@pytest.mark.parametrize("value", [None, "true", "TRUE"])
def test_the_rules_read_only_the_transpose_variable(monkeypatch, value):
    recording = RecordingOs({} if value is None else {"APPLY_TRANSPOSE_OPTIMIZATION": value, "OTHER": "true"})
    monkeypatch.setattr(ZOK, "os", recording)
    rewrite_source(TRANSPOSED, object_name=CONV)
    assert recording.keys and set(recording.keys) == {"APPLY_TRANSPOSE_OPTIMIZATION"}


def seen_during_rewrite(processor=FrontendTorchCodePostProcessor, transpose=True):
    """The module's `os` and its environ as the rules see them mid-rewrite."""
    from combined_source.utils.rewrite import Options, rewrite, transpose_variable

    seen = []

    def spy(text, *args, **kwargs):
        seen.append((ZOK.os, dict(ZOK.os.environ) if ZOK.os is not os else None))
        return STOCK_PARSE(text, *args, **kwargs)

    with pytest.MonkeyPatch.context() as m:
        m.setattr(gast, "parse", spy)  # what the rules call for each replacement
        with transpose_variable(transpose, clear_when_off=True):
            out = rewrite(TRANSPOSED, Options(object_name=CONV), processor).output
    return seen, out


@pytest.mark.parametrize("transpose", [True, False])
def test_a_copy_of_os_with_the_variable_during_a_rewrite(transpose):
    seen, out = seen_during_rewrite(transpose=transpose)
    assert seen and all(m is not os and m.path is os.path for m, _ in seen)
    assert all(env == ({"APPLY_TRANSPOSE_OPTIMIZATION": "true"} if transpose else {}) for _, env in seen)
    assert ZOK.os is os
    assert ("data_format='NHWC'" in out) is transpose


def test_os_left_alone_for_a_subclass_or_another_environ(monkeypatch):
    # a subclass counted as the module's own, whose methods could change the environment
    sub = type("Sub", (FrontendTorchCodePostProcessor,), {"__module__": ZOK.__name__})
    seen, _ = seen_during_rewrite(sub)
    assert seen and all(m is os for m, _ in seen)
    monkeypatch.setattr(os, "environ", dict(os.environ))
    seen, _ = seen_during_rewrite()
    assert seen and all(m is os for m, _ in seen)
