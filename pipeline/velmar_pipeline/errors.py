"""Errors as the one line a command prints."""


def one_line(error: BaseException) -> str:
    """``Type: first line of the message``: what a user needs of an error from a library that
    writes several lines (torch's loader, say), without its traceback."""
    lines = str(error).strip().splitlines()
    return f"{type(error).__name__}: {lines[0] if lines else ''}".rstrip(": ")


class ClusterError(RuntimeError):
    """A Ray cluster that cannot be used (unreachable, no node with CPUs): one line for the user.
    Here, not in ``cluster``, so that commands catch it without importing Ray."""


class ModelError(ValueError):
    """A network model that cannot be served (unreadable, foreign, or an export that disagrees
    with its checkpoint): one line naming the file, status 2 wherever it is found."""
