"""Configuration of a translation run."""


class BaseTransformerConfig:
    """Settings that the post-processors read.

    ``dtype_mapping`` maps the source text of an attribute chain (for example
    ``"torch.float32"``) to the source text that replaces it.
    """

    def __init__(self, dtype_mapping=None):
        self.dtype_mapping = dict(dtype_mapping or {})

    def __repr__(self):
        return "BaseTransformerConfig(dtype_mapping=%r)" % (self.dtype_mapping,)
