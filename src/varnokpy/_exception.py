"""Exception class of the package."""


class VarnokError(Exception):
    """Error raised by the modelling layer, carrying an error number and a message."""

    def __init__(self, errno: int, message: str) -> None:
        super().__init__(errno, message)
        self.errno = errno
        self.message = message

    def __str__(self) -> str:
        return str(self.message)
