"""Utilities of the code translator: post-processors and their helpers.

The native module ``ZOK`` is imported on demand (``from combined_source.utils
import ZOK``) so that importing this package alone never loads it.
"""
