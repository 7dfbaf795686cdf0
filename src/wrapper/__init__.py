"""Multilingual document indexing and search.

Every module of this package is a native extension module; import them by
their full names, e.g. ``from wrapper.Process import Process``.
"""
