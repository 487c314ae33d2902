"""Shared fixtures: building post-processors over parsed source and rendering back."""
import atexit
import os
import shutil
import tempfile

import gast
import pytest

from combined_source.utils.KQA import BaseTransformerConfig
from combined_source.utils.RUF import ast_to_source_code
from combined_source.utils.TEH import ObjectLike, Transformer
from combined_source.utils.ZOK import FrontendTorchCodePostProcessor
from combined_source.utils.cli.cache import ENV as CACHE_ENV

ENV = "APPLY_TRANSPOSE_OPTIMIZATION"

# The command line's cache goes to a folder of the session's own, never the
# user's, also for the environments that test modules copy when imported;
# each test then gets one of its own (`_own_cache`).
os.environ[CACHE_ENV] = tempfile.mkdtemp(prefix="orb-postprocess-test-cache-")
atexit.register(shutil.rmtree, os.environ[CACHE_ENV], True)


class OrbThing:
    """An object that the host's is_orb_api judges to be part of the orb API."""


OrbThing.__module__ = "orb.nn"


class TorchThing:
    """An object outside the orb API."""


def make_processor(tree, api=False, name="", mapping=None, new_name=None, cls=None):
    cls = cls or FrontendTorchCodePostProcessor
    transformer = Transformer(ObjectLike(OrbThing if api else TorchThing, name))
    config = BaseTransformerConfig(mapping)
    if new_name is None:
        return cls(tree, transformer, config)
    return cls(tree, transformer, config, new_name)


def rewrite(source, api=False, name="", mapping=None, new_name=None):
    """Parses `source`, transforms it and renders it back (stripped)."""
    tree = gast.parse(source)
    make_processor(tree, api, name, mapping, new_name).transform()
    return ast_to_source_code(tree).strip()


def expr(source):
    """The expression node of a one-line source text."""
    return gast.parse(source).body[0].value


def render(node):
    return ast_to_source_code(node).strip()


@pytest.fixture
def transpose(monkeypatch):
    """Sets APPLY_TRANSPOSE_OPTIMIZATION for one test: transpose(None) unsets it."""

    def set_value(value):
        if value is None:
            monkeypatch.delenv(ENV, raising=False)
        else:
            monkeypatch.setenv(ENV, value)

    return set_value


@pytest.fixture
def by_statements(monkeypatch):
    """The check proves a splice by parsing statements, never by the changed
    expressions alone."""
    from combined_source.utils.rewrite import check

    monkeypatch.setattr(check.Check, "in_place", lambda self, *args: None)


@pytest.fixture
def statements_apart(monkeypatch, by_statements):
    """The check parses changed statements apart however little text is
    around them (`by_statements`)."""
    from combined_source.utils.rewrite import check

    monkeypatch.setattr(check, "APART_SHARE", 1.0)
    monkeypatch.setattr(check, "APART_FROM", 0)
    monkeypatch.setattr(check, "APART_PER_EDIT", 0)


@pytest.fixture(autouse=True)
def _no_transpose_leak(monkeypatch):
    # Every test starts with the optimisation unset unless it sets it itself.
    monkeypatch.delenv(ENV, raising=False)
    yield


@pytest.fixture(autouse=True)
def _own_cache(monkeypatch, tmp_path_factory):
    # Every test has a cache folder of its own (the command lines it starts
    # inherit it), never the user's, so that no test sees another's results.
    monkeypatch.setenv(CACHE_ENV, str(tmp_path_factory.mktemp("cache")))
