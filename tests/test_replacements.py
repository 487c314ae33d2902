"""The gast that the post-processor sees during a rewrite: the same trees as
gast's own parse, fresh each time, and put in place only where nothing else
was."""
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
