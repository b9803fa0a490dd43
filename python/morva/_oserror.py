"""OSError subclasses for the compiled module's file errors.

An error with an errno is raised as the class Python itself picks for that
errno (FileNotFoundError, PermissionError, IsADirectoryError, ...), with
`errno`, `strerror` and `filename` set, while `str()` stays the library's own
message. Where the library has always raised another class for a failure (a
RuntimeError), the error is an instance of both.
"""

_classes = {}


def _str(self):
    return self.strerror if self.strerror is not None else OSError.__str__(self)


def os_error(code, message, filename=None, also=None):
    """The exception to raise for errno `code` with the library's `message`."""
    base = type(OSError(code, message))
    key = (base, also)
    cls = _classes.get(key)
    if cls is None:
        bases = (base,) if also is None else (base, also)
        cls = type(base.__name__, bases, {"__str__": _str, "__module__": "builtins"})
        cls.__qualname__ = base.__name__
        _classes[key] = cls
    return cls(code, message) if filename is None else cls(code, message, filename)
