from typing import Mapping, Optional

__version__: str

def rewrite_source(
    text: str,
    *,
    object_name: str = "",
    orb_api: bool = False,
    new_name: str = "arr",
    transpose: bool = False,
    dtype_map: Optional[Mapping[str, str]] = None,
) -> str:
    """The rewritten text of one Python source text, as the command line
    rewrites a file."""
