from typing import Mapping, Optional

__version__: str
TRANSPOSE_ENV: str

class SpliceRejected(ValueError):
    """The rewrite of a text cannot keep its layout (see rewrite_source)."""

    reason: str
    line: Optional[int]
    column: Optional[int]
    def __init__(self, reason: str, line: Optional[int] = None, column: Optional[int] = None) -> None: ...

class NoValidSource(SpliceRejected):
    """The rewritten tree has no valid source, not even rendered whole."""

class RewriteWarning(UserWarning):
    """A change worth a look that the rewrite made (see rewrite_source)."""

    message: str
    line: int
    column: int
    rule: str
    def __init__(self, message: str, line: int, column: int, rule: str) -> None: ...

def rewrite_source(
    text: str,
    *,
    object_name: str = "",
    orb_api: bool = False,
    new_name: str = "arr",
    transpose: bool = False,
    dtype_map: Optional[Mapping[str, str]] = None,
    allow_reformat: bool = False,
    skip_comments: bool = True,
    add_import: bool = False,
) -> str:
    """The rewritten text of one Python source text, as the command line
    rewrites a file; raises SpliceRejected when its layout cannot be kept,
    unless `allow_reformat`."""
