"""Modelling package of the Varnok optimisation solver.

Submodules are loaded on demand; importing the package itself loads nothing.
"""
