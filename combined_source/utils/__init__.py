"""Utilities of the code translator: post-processors and their helpers.

The native module ``ZOK`` is imported on demand (``from combined_source.utils
import ZOK``) so that importing this package alone never loads it.
"""

_DISTRIBUTION = "combined-source-utils"
# The variable the post-processor reads: "true" turns the channel-last layouts on.
TRANSPOSE_ENV = "APPLY_TRANSPOSE_OPTIMIZATION"


def __getattr__(name):
    # The version is read from the installed metadata on first use, so that
    # importing the package stays cheap.
    if name == "__version__":
        global __version__
        __version__ = _installed_version()
        return __version__
    raise AttributeError("module %r has no attribute %r" % (__name__, name))


def _installed_version():
    """The version of the installed distribution; "0+unknown" when the package
    runs without its metadata (a plain source tree, or the extension installed
    alone into another host package)."""
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version(_DISTRIBUTION)
    except PackageNotFoundError:
        return "0+unknown"


class SpliceRejected(ValueError):
    """The rewrite of a text cannot keep its layout: the text with only the
    changed expressions replaced does not parse to the rewritten tree.
    `reason` says what differs, `line` and `column` (from 1, None when not
    known) where in the original text. The text itself is valid: passing
    ``allow_reformat=True`` renders it whole instead, losing its comments."""

    def __init__(self, reason, line=None, column=None):
        self.reason, self.line, self.column = reason, line, column
        where = "" if line is None else " at line %d" % line + ("" if column is None else ", column %d" % column)
        super().__init__("the rewrite cannot keep the layout of this text: %s%s" % (reason, where))

    def __reduce__(self):
        return type(self), (self.reason, self.line, self.column)


class NoValidSource(SpliceRejected):
    """The rewritten tree has no valid source at all: the rules made a
    change that no text can hold (``(Tensor := x)`` becomes a walrus whose
    target is ``orb.Array``). Not even the whole rendering is used:
    `reason` says why it does not parse, `line` and `column` where in the
    original text the change the splice could not hold is."""

    def __init__(self, reason, line=None, column=None):
        super().__init__(reason, line, column)
        where = "" if line is None else " at line %d" % line + ("" if column is None else ", column %d" % column)
        self.args = ("%s%s" % (reason, where),)


class RewriteWarning(UserWarning):
    """A change worth a look that the rewrite made, given by `rewrite_source`
    as a warning of this category: `line` and `column` (from 1, the column in
    characters) place it in the original text, `rule` names the rule and
    `message` says what it did."""

    def __init__(self, message, line, column, rule):
        super().__init__("line %d, column %d: %s" % (line, column, message))
        self.message, self.line, self.column, self.rule = message, line, column, rule

    def __reduce__(self):
        return type(self), (self.message, self.line, self.column, self.rule)


def rewrite_source(text, *, object_name="", orb_api=False, new_name="arr", transpose=False, dtype_map=None,
                   allow_reformat=False, skip_comments=True, add_import=False):
    """Rewrites generated orb source text with ``FrontendTorchCodePostProcessor``
    and returns the new text, or `text` itself when no rule applies.

    Only the source spans of what the rules change are replaced; comments,
    layout, quote styles, line endings and a leading byte-order mark stay as
    they are. Output of the rules already in the text (an ``.data`` access on
    an ``orb.inplace_update(...)`` call, the float32 cast of ``np.log2(8)``)
    is left alone, so rewriting the result again changes nothing.

    `object_name` is the qualified name of the translated object, `orb_api`
    whether it is part of the orb API (``self`` then becomes `new_name`),
    `transpose` switches the channel-last layouts on for this call (the
    ``APPLY_TRANSPOSE_OPTIMIZATION`` variable is set, or removed, while it
    runs), and `dtype_map` maps source texts of attribute chains to their
    replacement texts. Raises SyntaxError for text that does not parse.

    Before the text is returned it is parsed and compared with the rewritten
    tree. When they differ (a change the text cannot hold in its layout, such
    as the name target of ``Tensor: int = 1`` becoming an attribute),
    SpliceRejected is raised; with `allow_reformat` the whole rewritten tree
    is rendered instead, losing comments and layout. A rewritten tree that
    has no valid source at all (the target of ``(Tensor := x)`` cannot be
    ``orb.Array``) raises NoValidSource, a SpliceRejected, with
    `allow_reformat` too: text that does not parse is never returned.

    A rewritten assignment target (``for Tensor in xs:`` becomes ``for
    orb.Array in xs:``, which assigns to an attribute of ``orb``) is told by
    a warning of category RewriteWarning per target (``warnings``' filters
    apply: by default a text repeated from one place of the caller shows
    once).

    `skip_comments` honours ``# orb-postprocess: skip`` (the changes starting
    on its line are kept) and ``# orb-postprocess: skip-file`` comments;
    `add_import` adds ``import orb`` to a changed text that uses ``orb``
    without binding it at module level.
    """
    from .rewrite import rewrite_source as rewrite

    return rewrite(text, object_name=object_name, orb_api=orb_api, new_name=new_name, transpose=transpose,
                   dtype_map=dtype_map, allow_reformat=allow_reformat, skip_comments=skip_comments,
                   add_import=add_import)
