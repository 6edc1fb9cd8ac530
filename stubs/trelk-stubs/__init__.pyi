"""Describe software packages and the constraints between them.

The classes live in the submodules `trelk.package.version`,
`trelk.package.constraint` and `trelk.package.outline`; the root holds the two
functions below.
"""

from trelk import package as package

__all__ = ["package", "init_tracing", "main_entry"]

def init_tracing() -> None:
    """Switch on diagnostic lines on the process's standard output; a second call raises.

    From then on, every refused conversion writes one line to file descriptor
    1 (not `sys.stdout`) before its exception is raised, even where the caller
    discards the exception, as a comparison operator does. The level and the
    target are coloured unless the environment variable `NO_COLOR` is set to a
    non-empty value when this is called. The call itself writes
    ` WARN trelk: tracing activated`.

    Tracing belongs to the process and cannot be switched off again.

    Raises:
        BaseException: The module's internal failure (`trelk.InternalFailure`,
            which `except Exception` does not catch, and which the module does not
            export by name) on any call after the first in the process:
            `Failed to set subscriber: SetGlobalDefaultError("a global default trace dispatcher has already been set")`.
        RuntimeError: From a signal handler that interrupted its own thread's
            writing of a line: `reentrant call: ...`; nothing is installed.
        KeyboardInterrupt: Ctrl-C while the line waits for a full pipe or a
            paused terminal.

    Examples:
        With `NO_COLOR=1` in the environment:

        >>> import trelk
        >>> from trelk.package.constraint import Depends
        >>> trelk.init_tracing()
         WARN trelk: tracing activated
        >>> Depends("a") == None
        ERROR trelk::package::constraint: cannot convert '<class 'NoneType'>' to Constraint
        False
    """

def main_entry() -> None:
    """Print the module's entry line, `trelk entrypoint`, on the process's standard output.

    It is written to file descriptor 1, not `sys.stdout`, under the lock that
    keeps trace lines whole.

    Raises:
        BaseException: The module's internal failure (see `init_tracing`) when the
            line cannot be written: `failed printing to stdout: ...`.
        RuntimeError: From a signal handler that interrupted its own thread's
            writing of a line: `reentrant call: ...`.
        KeyboardInterrupt: Ctrl-C while the line waits for a full pipe or a
            paused terminal.

    Examples:
        >>> import trelk
        >>> trelk.main_entry()
        trelk entrypoint
    """
