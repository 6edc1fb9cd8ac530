from collections.abc import Sequence
from typing import Never, Self, final

from trelk.package.constraint import ConstraintLike, OptionValue

__all__ = ["PackageOutline"]

@final
class PackageOutline:
    """One package: its name, constraints, option settings and option defaults.

    Complete once built: it has no properties and no methods. An extra keyword
    argument is refused with ValueError.
    """

    def __new__(
        cls,
        name: str,
        constraints: Sequence[ConstraintLike] | None = None,
        set_options: dict[str, OptionValue] | None = None,
        set_defaults: dict[str, OptionValue | None] | None = None,
        **kwargs: Never,
    ) -> Self: ...
