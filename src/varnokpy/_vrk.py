"""Constants namespace of the package."""


class VRK:
    """Named constants; the senses are what comparison operators record."""

    LESS_EQUAL = "<="
    GREATER_EQUAL = ">="
    EQUAL = "=="
