"""The submodules that hold the classes: `version`, `constraint` and `outline`."""

from trelk.package import constraint as constraint
from trelk.package import outline as outline
from trelk.package import version as version

__all__ = ["outline", "constraint", "version"]
