"""Usage checked by `mypy --strict` and pyright (strict) against the installed stubs
(tools/typecheck.sh).

Each assert_type pins the type that the stubs give an expression; each
`type: ignore[code]` marks a call that must be refused (mypy's code; with
warn_unused_ignores, which --strict turns on, and pyright's
reportUnnecessaryTypeIgnoreComment, an ignore that is not needed fails either
check). The functions are only type-checked, never called.
"""

from decimal import Decimal
from types import MappingProxyType
from typing import TYPE_CHECKING, assert_type

import trelk
from trelk.package import constraint, outline, version
from trelk.package.constraint import (
    Cmp,
    CmpType,
    Depends,
    IfThen,
    Maximize,
    Minimize,
    NumOf,
    SpecOption,
    Value,
)
from trelk.package.outline import PackageOutline
from trelk.package.version import Version

if TYPE_CHECKING:
    # Aliases that exist only in the stubs.
    from trelk.package.constraint import Constraint, OptionValue


def module_tree() -> None:
    assert_type(trelk.init_tracing(), None)
    assert_type(trelk.main_entry(), None)
    assert_type(trelk.package.constraint.Cmp, type[Cmp])
    assert_type(trelk.package.outline.PackageOutline, type[PackageOutline])
    assert_type(trelk.package.version.Version, type[Version])
    assert_type(constraint.Depends("a"), Depends)
    assert_type(outline.PackageOutline("p"), PackageOutline)
    assert_type(version.Version("1.2"), Version)


def constructors_and_properties() -> None:
    ver = Version(ver="1.2")
    assert_type(str(ver), str)
    cmp = Cmp(lhs=SpecOption(package_name="p", option_name="o"), rhs=ver, op=CmpType.GreaterOrEqual)
    assert_type(cmp.lhs, Constraint)
    assert_type(cmp.op, CmpType)
    assert_type(int(cmp.op), int)
    cmp.lhs = 3
    cmp.rhs = Decimal("1.5")
    cmp.op = CmpType.Less
    dep = Depends(name="a")
    assert_type(dep.on, str)
    dep.on = "b"
    rule = IfThen(cond=dep, then=True)
    assert_type(rule.cond, Constraint)
    rule.then = Maximize(item=1)
    assert_type(Minimize(item=dep).item, Constraint)
    count = NumOf(of=[dep, 1, "x", 2.5, ver])
    assert_type(count.of, list[Constraint])
    count.of = (dep, cmp)
    count.of = b"ab"
    option = SpecOption("p", "o")
    option.option_name = "level"
    literal = cmp.rhs
    if isinstance(literal, Value):
        assert_type(literal.value, OptionValue)
        literal.value = Version("2")
        literal.value = 7


def operators() -> None:
    dep = Depends("a")
    assert_type(dep == True, Cmp)  # noqa: E712
    assert_type(dep != Depends("b"), Cmp)
    assert_type(NumOf([dep]) >= 1, Cmp)
    assert_type(NumOf([dep]) < 2, Cmp)
    assert_type(5 < NumOf([dep]), Cmp)
    assert_type(SpecOption("p", "o") <= SpecOption("q", "o"), Cmp)
    assert_type((dep == True).if_then(then=Depends("b")), IfThen)  # noqa: E712
    assert_type(dep == None, bool)  # noqa: E711


def outlines() -> None:
    PackageOutline("p", [Depends("a"), 1], {"debug": True, "version": Version("1")}, {"ca": None})
    PackageOutline(name="p", constraints=None, set_options=None, set_defaults=None)


def typed_user_code() -> None:
    # Variables as a user's code declares them: dict is invariant in its values, and
    # each of these must still be taken where the module takes it.
    options: dict[str, bool] = {"http2": True}
    defaults: dict[str, int | None] = {"jobs": None}
    settings: dict[str, str | Version | Decimal] = {"arch": "amd64"}
    deps: list[Depends] = [Depends("a"), Depends("b")]
    pair: tuple[Depends, Cmp] = (Depends("c"), Depends("d") == True)  # noqa: E712
    PackageOutline("p", deps, options, defaults)
    PackageOutline("p", pair, settings, {"ca": None, "jobs": 2})
    PackageOutline("p", [*deps, NumOf(deps) >= 1], {"debug": True, "version": Version("1")}, defaults)
    PackageOutline("p", set_defaults=defaults)
    count = NumOf(deps)
    count.of = pair
    assert_type(count.of, list[Constraint])


def refused() -> None:
    Depends(5)  # type: ignore[arg-type]
    SpecOption("p")  # type: ignore[call-arg]
    Cmp(Depends("a"), Depends("b"), 3)  # type: ignore[arg-type]
    CmpType.Less.op  # type: ignore[attr-defined]
    PackageOutline("p", foo=1)  # type: ignore[call-overload]
    PackageOutline("p", set_options={"o": None})  # type: ignore[dict-item]
    anything: dict[str, object] = {"o": 1}
    PackageOutline("p", set_options=anything)  # type: ignore[arg-type]
    PackageOutline("p", set_options=MappingProxyType({"o": 1}))  # type: ignore[call-overload]
    Depends("a").on = 7  # type: ignore[assignment]
    Depends("a").x = 1  # type: ignore[attr-defined]
    NumOf([None])  # type: ignore[list-item]
    Value(1)  # type: ignore[call-arg]
    CmpType(0)  # type: ignore[call-arg]

    class Sub(Depends):  # type: ignore[misc]
        pass
