"""Classification of translated objects."""

ORB_MODULE = "orb"


def is_orb_api(obj):
    """Tell whether ``obj`` belongs to the ``orb`` API, judged by its module."""
    module = getattr(obj, "__module__", None)
    if not isinstance(module, str):
        return False
    return module == ORB_MODULE or module.startswith(ORB_MODULE + ".")
