"""Versions parsed from text."""

from typing import Self, final

__all__ = ["Version"]

@final
class Version:
    """A generic version.

    An ordered list of parts split at `.`, `-` and `+`: numbers (up to
    2**64 - 1, leading zeros dropped), words of ASCII letters and digits, `*`
    (one part of any value) and `>` (all the remaining parts; only last).
    The module parses, validates and prints versions; it does not order them.

    Text form: `str()` gives the text as written, without leading zeros;
    `repr()` gives the parts.

    Comparisons: two `Version` objects are equal only if they are the same
    object, and ordering them raises `TypeError`; a version is hashable. With
    a constraint on the other side, the constraint's operator builds a `Cmp`,
    in which the version has the value type `Version`.

    Examples:
        >>> v = Version("1.02-rc1+build")
        >>> str(v)
        '1.2-rc1+build'
        >>> v
        Version { parts: [Int(1), Sep('.'), Int(2), Sep('-'), Str("rc1"), Sep('+'), Str("build")] }
        >>> Version("1.0") == Version("1.0")
        False
    """

    def __new__(cls, ver: str) -> Self:
        """Parse a version text.

        Args:
            ver: The text, split at `.`, `-` and `+`; nothing is trimmed.

        Raises:
            ValueError: For a text that does not parse, with the reason of the
                first fault from the left: `TrailingSeparator` (empty, or ending in a
                separator), `EmptyPart` (`1..2`, `.1`), `PartAfterRest` (`1.>.2`),
                or `InvalidPart` with the whole part quoted (`InvalidPart("2_3")`).
            TypeError: For a `ver` that is no `str`:
                `argument 'ver': 'int' object cannot be cast as 'str'`.
            UnicodeEncodeError: For a `str` that UTF-8 cannot encode (a lone surrogate).

        Examples:
            >>> str(Version("3.>"))
            '3.>'
            >>> Version("1.0~rc1")
            Traceback (most recent call last):
              ...
            ValueError: InvalidPart("0~rc1")
        """
    def __repr__(self) -> str: ...
    def __str__(self) -> str: ...
