"""What the running interpreter (3.8 to 3.15) does its own way, as the tests see it."""
import gc
import glob
import os
import shutil
import subprocess
import sys

VERSION = sys.version_info[:2]


def canonical(source):
    """`source` as this interpreter's renderer writes it (3.8's puts parentheses around operations)."""
    import gast
    from combined_source.utils.RUF import ast_to_source_code
    return ast_to_source_code(gast.parse(source)).strip()


# From 3.9 the interpreter rejects keyword names that are not strings before any callee runs;
# 3.8 hands them to a vectorcall callee, which checks them itself.
CALLER_CHECKS_KEYWORDS = VERSION >= (3, 9)


def non_str_keywords(message):
    """The message of a call with a non-string keyword name that fails with `message` on 3.8."""
    return "keywords must be strings" if CALLER_CHECKS_KEYWORDS else message


def settle():
    """Collects garbage and empties the type attribute cache, whose entries keep references to
    the attribute names (from 3.10 any name, and None for an empty entry)."""
    gc.collect()
    # 3.13's name for it (which also drops other caches); from 3.14 the old one warns
    getattr(sys, "_clear_internal_caches", sys._clear_type_cache)()


# A second interpreter: `_xxsubinterpreters` up to 3.12, `_interpreters` in 3.13. From 3.12 a
# new interpreter may have a GIL of its own, and then itself refuses every extension that does
# not declare support for that; one that shares the GIL reaches the module's own guard.
if VERSION >= (3, 13):
    import _interpreters as _subs

    def _create(own_gil):
        return _subs.create("isolated" if own_gil else "legacy")
else:
    import _xxsubinterpreters as _subs

    def _create(own_gil):
        return _subs.create(isolated=own_gil) if VERSION >= (3, 12) else _subs.create()


def run_in_subinterpreter(code, own_gil):
    """Runs `code` in a new interpreter; its output goes to this process's stdout."""
    _subs.run_string(_create(own_gil), code)


def subinterpreter_refusal(module, own_gil):
    """The message with which a new interpreter refuses `module` before its create step runs, or None."""
    if own_gil and VERSION >= (3, 12):
        return "module %s does not support loading in subinterpreters" % module
    return None


# Another installed interpreter that loads a build made for this one, and whether loading may
# go on past the version warning. Loading stops at the first symbol the other interpreter does
# not export: builds for 3.11 and later call functions that no other version exports (3.11's
# code constructor, 3.12's single-object exception fetch, 3.13's optional attribute look-up),
# and a 3.9 or 3.10 build calls 3.9's recursion guard, which 3.8 lacks. A 3.8 build loads
# under 3.9 but would call 3.9's generic call with 3.8's arguments once past the warning, and
# 3.9 and 3.10 builds would pass 3.10's code-object arguments to 3.11's constructor.
CROSS_LOAD = {(3, 8): ((3, 9), False), (3, 9): ((3, 10), True), (3, 10): ((3, 9), True)}


def find_python(version):
    """The path of a working CPython `version` (under pyenv or on PATH), or None."""
    name = "python%d.%d" % version
    root = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    for path in sorted(glob.glob(os.path.join(root, "versions", "%d.%d.*" % version, "bin", name))) + [shutil.which(name)]:
        if path and subprocess.run([path, "-c", ""], capture_output=True).returncode == 0:
            return path
    return None
