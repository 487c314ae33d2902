ORB_MODULE: str

def is_orb_api(obj: object) -> bool:
    """Tell whether ``obj`` belongs to the ``orb`` API, judged by its module."""
