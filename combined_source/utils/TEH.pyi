from typing import Optional

from .KQA import BaseTransformerConfig

class ObjectLike:
    """What is being translated: the object itself and its qualified name."""

    obj: object
    name: str
    def __init__(self, obj: object, name: str) -> None: ...

class Transformer:
    """Drives one translation; post-processors read its ``object_like``."""

    object_like: ObjectLike
    configuration: Optional[BaseTransformerConfig]
    def __init__(self, object_like: ObjectLike, configuration: Optional[BaseTransformerConfig] = None) -> None: ...
