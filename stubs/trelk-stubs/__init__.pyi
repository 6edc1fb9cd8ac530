"""Describe software packages and the constraints between them."""

from trelk import package as package

__all__ = ["package", "init_tracing", "main_entry"]

def init_tracing() -> None:
    """Switch on diagnostic lines on the process's standard output; a second call raises."""

def main_entry() -> None:
    """Print the module's entry line on the process's standard output."""
