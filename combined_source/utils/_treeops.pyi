import sys
from typing import Any, Callable, Dict, Optional, Tuple, TypeVar, final

if sys.version_info >= (3, 9):
    from typing_extensions import disjoint_base as _disjoint_base
else:  # the type checkers of 3.8 do not know the marker
    _T = TypeVar("_T")

    def _disjoint_base(cls: _T) -> _T: ...

@_disjoint_base
class Converter:
    """The conversion to gast trees; combined with gast's converter class."""

    @property
    def fields(self) -> Optional[Dict[Any, Tuple[Any, ...]]]: ...
    @property
    def record(self) -> Optional[Callable[[Any, Dict[Any, Tuple[Any, ...]]], Any]]: ...
    def __init__(
        self,
        fields: Optional[Dict[Any, Tuple[Any, ...]]] = ...,
        record: Optional[Callable[[Any, Dict[Any, Tuple[Any, ...]]], Any]] = ...,
    ) -> None: ...
    def _visit(self, node: Any, /) -> Any: ...

@final
class GenericVisit:
    """A host base class's generic_visit function, called natively; its
    other attributes are the function's."""

    def __new__(cls, function: Callable[[Any, Any], Any], /) -> GenericVisit: ...
    def __call__(self, *args: Any, **kwargs: Any) -> Any: ...
    def __get__(self, instance: Any, owner: Optional[type] = ..., /) -> Any: ...

def configure(std_name: type, gast_name: type, copy_location: Callable[..., Any], plan: Callable[[type], Any],
              plans: Dict[type, Any], /) -> None: ...
def configure_render(name: type, attribute: type, call: type, constant: type, keyword: type,
                     fallback: Callable[[Any], str], end: Optional[str],
                     kinds: Optional[Dict[str, type]] = ..., /) -> None: ...
def render(node: Any) -> str: ...
def same(x: Any, y: Any, left: type, right: type, kinds: Optional[Dict[str, type]], skip: Any,
         settle: Optional[Callable[[Any, Any], Optional[bool]]],
         report: Optional[Callable[[Any, Any, Optional[str]], Any]], /) -> Optional[bool]: ...
def configure_walk(visit_constant: Optional[Callable[..., Any]], ast_globals: Dict[str, Any],
                   kinds: Tuple[type, ...], /) -> None: ...
def walk(processor: Any, node: Any, visit: Optional[Callable[[Any], Any]],
         generic: Optional[Callable[[Any], Any]], /) -> Any: ...
def edits(changes: Any, top: Any, site: Any, fields: Dict[Any, Tuple[Any, ...]], walked: Dict[type, bool],
          hooks: Dict[type, Callable[[Any, Any], Any]], string_kinds: Tuple[type, ...], leaves: Any, misplaced: bool,
          /) -> list: ...
