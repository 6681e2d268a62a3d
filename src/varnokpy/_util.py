"""Small helpers shared by the package's modules."""


def _isstr(value: object) -> bool:
    return isinstance(value, str)
