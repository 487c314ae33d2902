"""The post-processors that the benchmark compares, all over the same host."""
import importlib
import os
import sys

from combined_source.utils.HUJ import BaseCodePostProcessor
from combined_source.utils import ZOK

HERE = os.path.dirname(os.path.abspath(__file__))


class TraversalProcessor(BaseCodePostProcessor):
    """No rewrite methods at all: every node goes to generic_visit."""

    def __init__(self, root, transformer, configuration, new_name="arr"):
        self.root = root
        self.transformer = transformer
        self.configuration = configuration
        self.new_name = new_name

    def transform(self):
        self.visit(self.root)


class FloorProcessor(TraversalProcessor):
    """The four rewrite methods reduced to the traversal they must make."""

    def visit_keyword(self, node):
        self.generic_visit(node)
        return node

    visit_Name = visit_Attribute = visit_Call = visit_keyword


def _cython_module():
    """The Python model compiled by bench/build_cython.py, or None."""
    build = os.path.join(HERE, "_build", "py%d%d" % sys.version_info[:2])
    if not os.path.isdir(build):
        return None
    sys.path.insert(0, build)
    try:
        return importlib.import_module("model_cy")
    except ImportError:
        return None
    finally:
        sys.path.remove(build)


def load():
    """name -> (module whose globals hold the host functions, processor class)."""
    sys.path.insert(0, HERE)
    import model  # the plain Python rules

    peers = {"module": (ZOK, ZOK.FrontendTorchCodePostProcessor)}
    if hasattr(model, "FrontendTorchCodePostProcessor"):
        peers["python"] = (model, model.FrontendTorchCodePostProcessor)
    cy = _cython_module()
    if cy is not None:
        peers["cython"] = (cy, cy.FrontendTorchCodePostProcessor)
    peers["floor"] = (None, FloorProcessor)
    peers["traversal"] = (None, TraversalProcessor)
    return peers
