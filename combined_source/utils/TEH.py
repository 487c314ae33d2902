"""The translator driver, as far as post-processors see it."""


class ObjectLike:
    """What is being translated: the object itself and its qualified name."""

    def __init__(self, obj, name):
        self.obj = obj
        self.name = name

    def __repr__(self):
        return "ObjectLike(obj=%r, name=%r)" % (self.obj, self.name)


class Transformer:
    """Drives one translation; post-processors read its ``object_like``."""

    def __init__(self, object_like, configuration=None):
        self.object_like = object_like
        self.configuration = configuration
