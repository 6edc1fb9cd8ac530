"""The constraint classes, the comparison operators that build `Cmp` objects, and `CmpType`.

Rules that every constraint class (`Cmp`, `Depends`, `IfThen`, `Maximize`,
`Minimize`, `NumOf`, `SpecOption`, `Value`) follows:

- **Values are copied in and out.** A getter returns a new object on every
  read and a setter stores a copy, so changing one object never changes
  another.
- **Plain values become literals.** Where a constraint is expected, `bool`,
  `int` (within 64 bits; larger ones become floats), `float`, objects with
  `__index__` or `__float__`, `str` and `Version` are accepted and become
  `Value` objects. Anything else raises `TypeError`, prefixed with the name
  of the argument or property:
  `argument 'lhs': cannot convert '<class 'NoneType'>' to Constraint`.
- **Operators build comparisons.** `<`, `<=`, `==`, `!=`, `>`, `>=` with a
  constraint object on either side return a `Cmp`, never a `bool`. The
  constraint object is always the left side (`5 < n` builds `n > 5`). The
  two sides must have the same value type, and a `Bool` side admits only `==`
  and `!=`; otherwise `NotImplementedError` names both sides. An operand that
  is neither a constraint nor a plain value leaves the decision to Python:
  `Depends("a") == None` is `False`, `Depends("a") < None` raises Python's
  own `TypeError`.
- **Text form.** The classes have no `str()` or `repr()` of their own (both
  give `<builtins.Depends object at 0x...>`); a constraint's text form,
  given in each class, is what the message of a refused comparison prints.
- **Errors common to all.** Deleting a property raises `AttributeError`
  ("can't delete attribute"); the classes cannot be subclassed, take no new
  attributes and are unhashable (`TypeError`); an object written while it is
  being read, from a hook that Python code runs inside a call, raises
  `RuntimeError` ("Already borrowed" or "Already mutably borrowed").
"""

from collections.abc import Sequence
from typing import ClassVar, Self, SupportsFloat, SupportsIndex, TypeAlias, final

from trelk.package.version import Version

__all__ = ["Cmp", "CmpType", "Depends", "IfThen", "Maximize", "Minimize", "NumOf", "SpecOption", "Value"]

Constraint: TypeAlias = Cmp | Depends | IfThen | Maximize | Minimize | NumOf | SpecOption | Value
"""Any object of the eight constraint classes (for type checking only: the module has no such name)."""

OptionValue: TypeAlias = bool | int | float | str | Version
"""What an option value or a literal reads back as (for type checking only)."""

OptionValueLike: TypeAlias = OptionValue | SupportsIndex | SupportsFloat
"""What is accepted as an option value (for type checking only).

Objects with `__index__` or `__float__` (numpy scalars, `Decimal`, `Fraction`)
are converted like `int` and `float`.
"""

ConstraintLike: TypeAlias = Constraint | OptionValueLike
"""What is accepted where a constraint is expected (for type checking only): a plain value becomes a `Value`."""

@final
class CmpType:
    """The operator of a comparison: six members, each with a fixed number.

    | Member | `int()` | Symbol in text forms |
    |---|---|---|
    | `Less` | 0 | `<` |
    | `LessOrEqual` | 1 | `<=` |
    | `NotEqual` | 2 | `!=` |
    | `Equal` | 3 | `==` |
    | `GreaterOrEqual` | 4 | `>=` |
    | `Greater` | 5 | `>` |

    Text form: `repr()` and `str()` give `CmpType.` and the member's name.

    Comparisons: `==` is identity. A member is one object, kept in the class,
    but `Cmp.op` returns a new object on every read, which equals no member:
    compare `int(c.op)`. Members are hashable; ordering them raises
    `TypeError`. A `CmpType` is no constraint: passed as one, it is refused.

    Raises:
        TypeError: On calling the class: `cannot create 'builtins.CmpType' instances`.

    Examples:
        >>> CmpType.GreaterOrEqual
        CmpType.GreaterOrEqual
        >>> int(CmpType.NotEqual), str(CmpType.Equal)
        (2, 'CmpType.Equal')
        >>> c = Cmp(Depends("a"), Depends("b"), CmpType.Equal)
        >>> c.op == CmpType.Equal, int(c.op) == int(CmpType.Equal)
        (False, True)
    """

    Less: ClassVar[CmpType]
    """`<`, the number 0."""
    LessOrEqual: ClassVar[CmpType]
    """`<=`, the number 1."""
    NotEqual: ClassVar[CmpType]
    """`!=`, the number 2."""
    Equal: ClassVar[CmpType]
    """`==`, the number 3."""
    GreaterOrEqual: ClassVar[CmpType]
    """`>=`, the number 4."""
    Greater: ClassVar[CmpType]
    """`>`, the number 5."""
    def __int__(self) -> int: ...
    def __repr__(self) -> str: ...

@final
class Cmp:
    """A comparison of two constraints: `lhs`, the operator `op`, `rhs`.

    Usually built by an operator (`SpecOption("p", "o") >= SpecOption("q", "o")`),
    which checks the value types of both sides first; the constructor checks
    nothing.

    Value type in comparisons: `Bool`, so a `Cmp` admits only `==` and `!=`,
    with another `Bool` side (a `Cmp`, a `Depends`, `True` or `False`).

    Text form: `[ lhs ] op [ rhs ]`, for example
    `[ Package 'curl' -> Option 'version' ] >= [ 8.0 ]`.

    Examples:
        >>> c = Cmp(SpecOption("curl", "version"), Version("8.0"), CmpType.GreaterOrEqual)
        >>> str(c.rhs.value), int(c.op)
        ('8.0', 4)
        >>> c < True
        Traceback (most recent call last):
          ...
        NotImplementedError: Cannot compare type Some(Bool) from constraint [ Package 'curl' -> Option 'version' ] >= [ 8.0 ] with type Some(Bool) from constraint true using operator '<'
    """

    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __new__(cls, lhs: ConstraintLike, rhs: ConstraintLike, op: CmpType) -> Self:
        """Build a comparison from its two sides and its operator, without a type check.

        Args:
            lhs: The left side: a constraint or a plain value.
            rhs: The right side: a constraint or a plain value.
            op: The operator.

        Raises:
            TypeError: For a side that is no constraint and no plain value
                (`argument 'lhs': cannot convert '<class 'NoneType'>' to Constraint`;
                `lhs` is converted before `rhs`), or an `op` that is no `CmpType`
                (`argument 'op': 'int' object cannot be cast as 'CmpType'`).

        Examples:
            >>> Cmp(Depends("a"), 1.5, CmpType.Less).rhs.value
            1.5
        """
    @property
    def lhs(self) -> Constraint:
        """The left side: a new object on every read; setting it stores a copy.

        Raises:
            TypeError: On setting a value that is no constraint and no plain value:
                `argument 'lhs': cannot convert '<class 'list'>' to Constraint`.

        Examples:
            >>> c = Cmp(Depends("a"), 1, CmpType.Equal)
            >>> c.lhs.on
            'a'
        """
    @lhs.setter
    def lhs(self, value: ConstraintLike, /) -> None: ...
    @property
    def rhs(self) -> Constraint:
        """The right side: a new object on every read; setting it stores a copy.

        A plain value reads back as a `Value`.

        Raises:
            TypeError: On setting a value that is no constraint and no plain value:
                `argument 'rhs': cannot convert '<class 'NoneType'>' to Constraint`.

        Examples:
            >>> c = Cmp(Depends("a"), 1, CmpType.Equal)
            >>> c.rhs.value
            1
        """
    @rhs.setter
    def rhs(self, value: ConstraintLike, /) -> None: ...
    @property
    def op(self) -> CmpType:
        """The operator: a new `CmpType` object on every read (compare it with `int()`).

        Raises:
            TypeError: On setting anything but a `CmpType`:
                `argument 'op': 'str' object cannot be cast as 'CmpType'`.

        Examples:
            >>> c = Cmp(Depends("a"), 1, CmpType.Equal)
            >>> c.op = CmpType.NotEqual
            >>> c.op
            CmpType.NotEqual
        """
    @op.setter
    def op(self, value: CmpType, /) -> None: ...
    def if_then(self, then: ConstraintLike) -> IfThen:
        """Wrap this condition in an IfThen constraint: `cond.if_then(then)`.

        The `IfThen` holds a copy of this `Cmp` as `cond` and the converted
        `then`; nothing is type-checked. Like every `IfThen`, it belongs to the
        calling thread.

        Args:
            then: What the condition implies: a constraint or a plain value.

        Raises:
            TypeError: For a `then` that is no constraint and no plain value
                (`argument 'then': cannot convert '<class 'NoneType'>' to Constraint`),
                or none given (`Cmp.if_then() missing 1 required positional argument: 'then'`).

        Examples:
            >>> rule = (Depends("curl") == True).if_then(Depends("nghttp2"))
            >>> rule.then.on
            'nghttp2'
        """
    def __lt__(self, value: ConstraintLike, /) -> Cmp: ...
    def __le__(self, value: ConstraintLike, /) -> Cmp: ...
    def __eq__(self, value: ConstraintLike, /) -> Cmp: ...  # type: ignore[override]
    def __ne__(self, value: ConstraintLike, /) -> Cmp: ...  # type: ignore[override]
    def __gt__(self, value: ConstraintLike, /) -> Cmp: ...
    def __ge__(self, value: ConstraintLike, /) -> Cmp: ...

@final
class Depends:
    """A dependency on the package named `on`.

    Value type in comparisons: `Bool` (the package is installed or not), so a
    `Depends` admits only `==` and `!=`, with another `Bool` side.

    Text form: `Depends( name )`, the name verbatim.

    Examples:
        >>> d = Depends("curl")
        >>> (d == True).op
        CmpType.Equal
        >>> d < Depends("wget")
        Traceback (most recent call last):
          ...
        NotImplementedError: Cannot compare type Some(Bool) from constraint Depends( curl ) with type Some(Bool) from constraint Depends( wget ) using operator '<'
    """

    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __new__(cls, name: str) -> Self:
        """A dependency on the package `name` (any text, the empty one included).

        Args:
            name: The package's name; it becomes the property `on`.

        Raises:
            TypeError: For a name that is no `str`:
                `argument 'name': 'int' object cannot be cast as 'str'`.
            UnicodeEncodeError: For a `str` that UTF-8 cannot encode (a lone surrogate).

        Examples:
            >>> Depends(name="curl").on
            'curl'
        """
    @property
    def on(self) -> str:
        """The name of the package depended on.

        Raises:
            TypeError: On setting anything but a `str`:
                `argument 'on': 'int' object cannot be cast as 'str'`.

        Examples:
            >>> d = Depends("curl")
            >>> d.on = "wget"
            >>> d.on
            'wget'
        """
    @on.setter
    def on(self, value: str, /) -> None: ...
    def __lt__(self, value: ConstraintLike, /) -> Cmp: ...
    def __le__(self, value: ConstraintLike, /) -> Cmp: ...
    def __eq__(self, value: ConstraintLike, /) -> Cmp: ...  # type: ignore[override]
    def __ne__(self, value: ConstraintLike, /) -> Cmp: ...  # type: ignore[override]
    def __gt__(self, value: ConstraintLike, /) -> Cmp: ...
    def __ge__(self, value: ConstraintLike, /) -> Cmp: ...

@final
class IfThen:
    """An implication: if `cond` holds, `then` must hold.

    An `IfThen` belongs to the thread that made it (its constructor,
    `Cmp.if_then`, or a getter that returned it): used on another thread, it
    raises the module's internal failure, a `BaseException` that `except
    Exception` does not catch, with the message
    `trelk::package::constraint::if_then::IfThen is unsendable, but sent to another thread (...)`;
    dropped on another thread, it is reported through `sys.unraisablehook`.

    Value type in comparisons: none, so every comparison with an `IfThen` is
    refused with `NotImplementedError`.

    Text form: `If( cond ) Then [ then ]`.

    Examples:
        >>> rule = IfThen(Depends("curl"), Depends("libssl3"))
        >>> rule.cond.on, rule.then.on
        ('curl', 'libssl3')
        >>> rule == True
        Traceback (most recent call last):
          ...
        NotImplementedError: Cannot compare type None from constraint If( Depends( curl ) ) Then [ Depends( libssl3 ) ] with type Some(Bool) from constraint true using operator '=='
    """

    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __new__(cls, cond: ConstraintLike, then: ConstraintLike) -> Self:
        """An implication from a condition and its consequence, owned by the calling thread.

        Args:
            cond: The condition: a constraint or a plain value.
            then: What it implies: a constraint or a plain value.

        Raises:
            TypeError: For an argument that is no constraint and no plain value
                (`argument 'cond': cannot convert '<class 'NoneType'>' to Constraint`;
                `cond` is converted before `then`).

        Examples:
            >>> rule = IfThen(SpecOption("curl", "http2") == SpecOption("nghttp2", "enabled"), Depends("nghttp2"))
            >>> rule.then.on
            'nghttp2'
        """
    @property
    def cond(self) -> Constraint:
        """The condition: a new object on every read; setting it stores a copy.

        Raises:
            TypeError: On setting a value that is no constraint and no plain value:
                `argument 'cond': cannot convert '<class 'NoneType'>' to Constraint`.

        Examples:
            >>> IfThen(Depends("curl"), Depends("libssl3")).cond.on
            'curl'
        """
    @cond.setter
    def cond(self, value: ConstraintLike, /) -> None: ...
    @property
    def then(self) -> Constraint:
        """The consequence: a new object on every read; setting it stores a copy.

        Raises:
            TypeError: On setting a value that is no constraint and no plain value:
                `argument 'then': cannot convert '<class 'NoneType'>' to Constraint`.

        Examples:
            >>> rule = IfThen(Depends("curl"), Depends("libssl3"))
            >>> rule.then = Depends("libgnutls30")
            >>> rule.then.on
            'libgnutls30'
        """
    @then.setter
    def then(self, value: ConstraintLike, /) -> None: ...
    def __lt__(self, value: ConstraintLike, /) -> Cmp: ...
    def __le__(self, value: ConstraintLike, /) -> Cmp: ...
    def __eq__(self, value: ConstraintLike, /) -> Cmp: ...  # type: ignore[override]
    def __ne__(self, value: ConstraintLike, /) -> Cmp: ...  # type: ignore[override]
    def __gt__(self, value: ConstraintLike, /) -> Cmp: ...
    def __ge__(self, value: ConstraintLike, /) -> Cmp: ...

@final
class Maximize:
    """An objective: make `item` as large as possible.

    Value type in comparisons: none, so every comparison with a `Maximize`
    is refused with `NotImplementedError`.

    Text form: `Maximize( item )`.

    Examples:
        >>> goal = Maximize(NumOf([Depends("a"), Depends("b")]))
        >>> goal >= 1
        Traceback (most recent call last):
          ...
        NotImplementedError: Cannot compare type None from constraint Maximize( NumOf( Depends( a ), Depends( b ) ) ) with type Some(Int) from constraint 1 using operator '>='
    """

    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __new__(cls, item: ConstraintLike) -> Self:
        """An objective to maximise.

        Args:
            item: What to maximise: a constraint or a plain value.

        Raises:
            TypeError: For an item that is no constraint and no plain value:
                `argument 'item': cannot convert '<class 'NoneType'>' to Constraint`.

        Examples:
            >>> goal = Maximize(NumOf([Depends("gnutls"), Depends("openssl")]))
            >>> [d.on for d in goal.item.of]
            ['gnutls', 'openssl']
        """
    @property
    def item(self) -> Constraint:
        """What is maximised: a new object on every read; setting it stores a copy.

        Raises:
            TypeError: On setting a value that is no constraint and no plain value:
                `argument 'item': cannot convert '<class 'NoneType'>' to Constraint`.

        Examples:
            >>> goal = Maximize(SpecOption("curl", "speed"))
            >>> goal.item = SpecOption("curl", "throughput")
            >>> goal.item.option_name
            'throughput'
        """
    @item.setter
    def item(self, value: ConstraintLike, /) -> None: ...
    def __lt__(self, value: ConstraintLike, /) -> Cmp: ...
    def __le__(self, value: ConstraintLike, /) -> Cmp: ...
    def __eq__(self, value: ConstraintLike, /) -> Cmp: ...  # type: ignore[override]
    def __ne__(self, value: ConstraintLike, /) -> Cmp: ...  # type: ignore[override]
    def __gt__(self, value: ConstraintLike, /) -> Cmp: ...
    def __ge__(self, value: ConstraintLike, /) -> Cmp: ...

@final
class Minimize:
    """An objective: make `item` as small as possible.

    Value type in comparisons: none, so every comparison with a `Minimize`
    is refused with `NotImplementedError`.

    Text form: `Minimize( item )`.

    Examples:
        >>> Minimize(NumOf([Depends("a")])) == 1
        Traceback (most recent call last):
          ...
        NotImplementedError: Cannot compare type None from constraint Minimize( NumOf( Depends( a ) ) ) with type Some(Int) from constraint 1 using operator '=='
    """

    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __new__(cls, item: ConstraintLike) -> Self:
        """An objective to minimise.

        Args:
            item: What to minimise: a constraint or a plain value.

        Raises:
            TypeError: For an item that is no constraint and no plain value:
                `argument 'item': cannot convert '<class 'NoneType'>' to Constraint`.

        Examples:
            >>> Minimize(SpecOption("curl", "size")).item.option_name
            'size'
        """
    @property
    def item(self) -> Constraint:
        """What is minimised: a new object on every read; setting it stores a copy.

        Raises:
            TypeError: On setting a value that is no constraint and no plain value:
                `argument 'item': cannot convert '<class 'NoneType'>' to Constraint`.

        Examples:
            >>> goal = Minimize(SpecOption("curl", "size"))
            >>> goal.item = NumOf([Depends("gnutls"), Depends("openssl")])
            >>> len(goal.item.of)
            2
        """
    @item.setter
    def item(self, value: ConstraintLike, /) -> None: ...
    def __lt__(self, value: ConstraintLike, /) -> Cmp: ...
    def __le__(self, value: ConstraintLike, /) -> Cmp: ...
    def __eq__(self, value: ConstraintLike, /) -> Cmp: ...  # type: ignore[override]
    def __ne__(self, value: ConstraintLike, /) -> Cmp: ...  # type: ignore[override]
    def __gt__(self, value: ConstraintLike, /) -> Cmp: ...
    def __ge__(self, value: ConstraintLike, /) -> Cmp: ...

@final
class NumOf:
    """The number of constraints in `of` that hold.

    Value type in comparisons: `Int`, so a `NumOf` admits all six operators
    with another `Int` side (a `NumOf`, or an `int` literal). The usual use:
    `NumOf([...]) >= 1`, at least one of them.

    Text form: `NumOf( a, b )`, the elements' text forms separated by `, `;
    an empty one is `NumOf(  )`.

    Examples:
        >>> either = NumOf([Depends("gnutls"), Depends("openssl")]) >= 1
        >>> either.rhs.value, len(either.lhs.of)
        (1, 2)
        >>> NumOf([]) > 1.5
        Traceback (most recent call last):
          ...
        NotImplementedError: Cannot compare type Some(Int) from constraint NumOf(  ) with type Some(Float) from constraint 1.5 using operator '>'
    """

    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __new__(cls, of: Sequence[ConstraintLike]) -> Self:
        """A count over the elements of any sequence but a `str`, converted in order.

        Args:
            of: The constraints counted (plain values become `Value` objects).

        Raises:
            TypeError: For a `str` (`` argument 'of': Can't extract `str` to `Vec` ``),
                an object that is no sequence, such as a set or a generator
                (`argument 'of': 'set' object cannot be cast as 'Sequence'`),
                or an element that is no constraint and no plain value
                (`argument 'of': cannot convert '<class 'NoneType'>' to Constraint`).

        Examples:
            >>> count = NumOf((Depends("gnutls"), Depends("openssl")))  # a tuple, or any sequence
            >>> [d.on for d in count.of]
            ['gnutls', 'openssl']
        """
    @property
    def of(self) -> list[Constraint]:
        """A new list on every read: changing it does not change the NumOf.

        Raises:
            TypeError: On setting a value that `NumOf(of)` would refuse, with the same message.

        Examples:
            >>> n = NumOf([Depends("a")])
            >>> n.of.append(Depends("b"))
            >>> len(n.of)
            1
        """
    @of.setter
    def of(self, value: Sequence[ConstraintLike], /) -> None: ...
    def __lt__(self, value: ConstraintLike, /) -> Cmp: ...
    def __le__(self, value: ConstraintLike, /) -> Cmp: ...
    def __eq__(self, value: ConstraintLike, /) -> Cmp: ...  # type: ignore[override]
    def __ne__(self, value: ConstraintLike, /) -> Cmp: ...  # type: ignore[override]
    def __gt__(self, value: ConstraintLike, /) -> Cmp: ...
    def __ge__(self, value: ConstraintLike, /) -> Cmp: ...

@final
class SpecOption:
    """The option `option_name` of the package `package_name`, whose value the solver chooses.

    Value type in comparisons: `Unknown`, so a `SpecOption` compares (with
    all six operators) only with another `SpecOption`; to compare an option
    with a literal, build the `Cmp` with its constructor.

    Text form: `Package 'package_name' -> Option 'option_name'`, the names verbatim.

    Examples:
        >>> ssl = SpecOption("openssl", "version")
        >>> (ssl >= SpecOption("libssl", "version")).op
        CmpType.GreaterOrEqual
        >>> SpecOption("curl", "timeout") > 2.5
        Traceback (most recent call last):
          ...
        NotImplementedError: Cannot compare type Some(Unknown) from constraint Package 'curl' -> Option 'timeout' with type Some(Float) from constraint 2.5 using operator '>'
    """

    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __new__(cls, package_name: str, option_name: str) -> Self:
        """A reference to one option of one package (any texts, empty ones included).

        Args:
            package_name: The package's name.
            option_name: The option's name.

        Raises:
            TypeError: For a name that is no `str`:
                `argument 'option_name': 'NoneType' object cannot be cast as 'str'`.
            UnicodeEncodeError: For a `str` that UTF-8 cannot encode (a lone surrogate).

        Examples:
            >>> SpecOption("curl", "http2").package_name
            'curl'
        """
    @property
    def package_name(self) -> str:
        """The package's name.

        Raises:
            TypeError: On setting anything but a `str`:
                `argument 'package_name': 'int' object cannot be cast as 'str'`.

        Examples:
            >>> SpecOption("curl", "http2").package_name
            'curl'
        """
    @package_name.setter
    def package_name(self, value: str, /) -> None: ...
    @property
    def option_name(self) -> str:
        """The option's name.

        Raises:
            TypeError: On setting anything but a `str`:
                `argument 'option_name': 'int' object cannot be cast as 'str'`.

        Examples:
            >>> SpecOption("curl", "http2").option_name
            'http2'
        """
    @option_name.setter
    def option_name(self, value: str, /) -> None: ...
    def __lt__(self, value: ConstraintLike, /) -> Cmp: ...
    def __le__(self, value: ConstraintLike, /) -> Cmp: ...
    def __eq__(self, value: ConstraintLike, /) -> Cmp: ...  # type: ignore[override]
    def __ne__(self, value: ConstraintLike, /) -> Cmp: ...  # type: ignore[override]
    def __gt__(self, value: ConstraintLike, /) -> Cmp: ...
    def __ge__(self, value: ConstraintLike, /) -> Cmp: ...

@final
class Value:
    """A literal; objects arise only from getters and conversions, never from a call of the class.

    A plain value given where a constraint is expected becomes a `Value`:
    `True`, `False` and numpy's booleans a `bool` (never an `int`); integers
    and objects with `__index__` an `int` when they fit 64 bits; larger
    integers, floats and objects with `__float__` a `float`; a `str` a `str`;
    a `Version` a `Version`.

    Value type in comparisons: that of its literal, `Bool`, `Int`, `Float`,
    `Str` or `Version`; a `Bool` admits only `==` and `!=`.

    Text form: `true` or `false`; an integer in decimal; a float as the
    shortest decimal that reads back the same, never with an exponent (`1.0`
    is `1`, `1.5e-7` is `0.00000015`, `NaN`, `inf`, `-inf`); a `str`
    verbatim; a version by its text form.

    Raises:
        TypeError: On calling the class: `cannot create 'builtins.Value' instances`.

    Examples:
        >>> v = (NumOf([Depends("gnutls"), Depends("openssl")]) >= 1).rhs
        >>> type(v).__name__, v.value
        ('Value', 1)
        >>> big = Cmp(Depends("a"), 2**63, CmpType.Equal).rhs
        >>> big.value
        9.223372036854776e+18
        >>> big == 1
        Traceback (most recent call last):
          ...
        NotImplementedError: Cannot compare type Some(Float) from constraint 9223372036854776000 with type Some(Int) from constraint 1 using operator '=='
    """

    __hash__: ClassVar[None]  # type: ignore[assignment]
    @property
    def value(self) -> OptionValue:
        """The literal: a `bool`, `int`, `float`, `str`, or a new `Version` on every read.

        Setting it converts as a plain value is converted.

        Raises:
            TypeError: On setting a value that cannot be converted:
                `argument 'value': cannot cast Python type '<class 'NoneType'>' to SpecOptionValue`.

        Examples:
            >>> v = Cmp(Depends("a"), True, CmpType.Equal).rhs
            >>> v.value
            True
            >>> v.value = Version("1.02")
            >>> str(v.value)
            '1.2'
        """
    @value.setter
    def value(self, value: OptionValueLike, /) -> None: ...
    def __lt__(self, value: ConstraintLike, /) -> Cmp: ...
    def __le__(self, value: ConstraintLike, /) -> Cmp: ...
    def __eq__(self, value: ConstraintLike, /) -> Cmp: ...  # type: ignore[override]
    def __ne__(self, value: ConstraintLike, /) -> Cmp: ...  # type: ignore[override]
    def __gt__(self, value: ConstraintLike, /) -> Cmp: ...
    def __ge__(self, value: ConstraintLike, /) -> Cmp: ...
