"""Utilities of the code translator: post-processors and their helpers.

The native module ``ZOK`` is imported on demand (``from combined_source.utils
import ZOK``) so that importing this package alone never loads it.
"""

_DISTRIBUTION = "combined-source-utils"


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
