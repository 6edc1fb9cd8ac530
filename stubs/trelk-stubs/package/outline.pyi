"""The description of one package."""

from collections.abc import Sequence
from typing import Never, Self, TypeVar, final, overload

from trelk.package.constraint import ConstraintLike, OptionValueLike

__all__ = ["PackageOutline"]

# The constructor takes a dict (dict is invariant in its values) whose values are
# any of the accepted types, as a dict display or a variable gives it: a
# dict[str, bool] as it is, a dict[str, object] not. A type checker infers a
# mixed display ({"a": True, "v": Version("1")}) against the first overload, and
# a variable against a type variable bound to the accepted types; the four
# overloads cover both kinds for each of the two dicts.
_Option = TypeVar("_Option", bound=OptionValueLike)
_Default = TypeVar("_Default", bound=OptionValueLike | None)

@final
class PackageOutline:
    """One package: its name, constraints, option settings and option defaults.

    Complete once built: it has no properties and no methods, and it keeps
    copies, so changing what was passed in does not change it.

    Comparisons: `==` is identity; it is hashable. A `PackageOutline` is no
    constraint: passed as one, it is refused.

    Text form: none of its own; `repr()` gives `<builtins.PackageOutline object at 0x...>`.

    Examples:
        >>> outline = PackageOutline(
        ...     "curl",
        ...     [Depends("libc6"), NumOf([Depends("gnutls"), Depends("openssl")]) >= 1],
        ...     {"version": Version("8.5.0"), "http2": True},
        ...     {"ca_bundle": None},
        ... )
        >>> outline == outline, isinstance(hash(outline), int)
        (True, True)
    """

    @overload
    def __new__(
        cls,
        name: str,
        constraints: Sequence[ConstraintLike] | None = None,
        set_options: dict[str, OptionValueLike] | None = None,
        set_defaults: dict[str, OptionValueLike | None] | None = None,
        **kwargs: Never,
    ) -> Self:
        """Describe a package, converting and checking every input.

        Args:
            name: The package's name (any text, the empty one included).
            constraints: Any sequence but a `str`, of constraints or plain values.
            set_options: A `dict` (an instance of a subclass too, but no other
                mapping) from option names to values: `bool`, `int`, `float`,
                `str`, `Version`, or objects with `__index__` or `__float__`;
                `None` is refused here. A variable may declare any of these as
                its value type (`dict[str, bool]`, `dict[str, int | str]`).
            set_defaults: As `set_options`, where `None` means "no value".
            **kwargs: Refused, every one of them.

        Raises:
            TypeError: For an argument that cannot be converted, prefixed with its
                name: `` argument 'constraints': Can't extract `str` to `Vec` ``,
                `argument 'set_options': 'list' object cannot be cast as 'dict'`,
                `argument 'set_options': cannot cast Python type '<class 'NoneType'>' to SpecOptionValue`.
                These come before an extra keyword's `ValueError`.
            ValueError: For any other keyword, the first one named:
                `PyPackageOutline unexpected keyword argument 'foo'`.
            BaseException: The module's internal failure (see `trelk.init_tracing`)
                when a dict changes while it is read (`dictionary changed size during iteration`),
                or for an `IfThen` made on another thread.

        Examples:
            >>> PackageOutline("curl", foo=1)
            Traceback (most recent call last):
              ...
            ValueError: PyPackageOutline unexpected keyword argument 'foo'
        """
    @overload
    def __new__(
        cls,
        name: str,
        constraints: Sequence[ConstraintLike] | None = None,
        set_options: dict[str, _Option] | None = None,
        set_defaults: dict[str, OptionValueLike | None] | None = None,
        **kwargs: Never,
    ) -> Self: ...
    @overload
    def __new__(
        cls,
        name: str,
        constraints: Sequence[ConstraintLike] | None = None,
        set_options: dict[str, OptionValueLike] | None = None,
        set_defaults: dict[str, _Default] | None = None,
        **kwargs: Never,
    ) -> Self: ...
    @overload
    def __new__(
        cls,
        name: str,
        constraints: Sequence[ConstraintLike] | None = None,
        set_options: dict[str, _Option] | None = None,
        set_defaults: dict[str, _Default] | None = None,
        **kwargs: Never,
    ) -> Self: ...
