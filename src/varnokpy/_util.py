"""Small helpers shared by the package's modules."""


def _isstr(value):
    return isinstance(value, str)
