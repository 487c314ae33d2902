from typing import Dict, Mapping, Optional

class BaseTransformerConfig:
    """Settings that the post-processors read."""

    dtype_mapping: Dict[str, str]
    def __init__(self, dtype_mapping: Optional[Mapping[str, str]] = None) -> None: ...
