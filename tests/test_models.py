"""Random operation sequences checked against a pure-Python model; version parsing against a reference."""

import decimal
import math
import pathlib
import re

import pytest
from hypothesis import example, given, settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

from trelk.package.constraint import Cmp, CmpType, Depends
from trelk.package.outline import PackageOutline
from trelk.package.version import Version
from conftest import CLASSES as ROWS, FIELDS as FIELDS_OF_CLASS, KIND, OPERATORS, PARAMETERS, PLAIN as PLAIN_TYPES, text_of

CLASSES = tuple(FIELDS_OF_CLASS)
OPVAL = {op.name: op.number for op in OPERATORS}
SYM = {op.name: op.symbol for op in OPERATORS}
# operator function, CmpType member as written, member once the interpreter has swapped the operands
OPS = [(op.fn, op.name, {o.fn: o.name for o in OPERATORS}[op.mirrored]) for op in OPERATORS]
CTORS = {cls.__name__: (cls, params) for cls, params in PARAMETERS.items() if cls is not Version} | {
    "PackageOutline": (PackageOutline, ("name", "constraints"))}
FIELDS = {cls.__name__: names for cls, names in FIELDS_OF_CLASS.items()}
LITERAL_KINDS = {bool: "Bool", int: "Int", float: "Float", str: "Str"}
TEXT_LIMIT = 3000
SETTINGS = settings(deadline=None, database=None, derandomize=True)

TEXTS = st.text(alphabet="ab '\"()[],->\x00ü中", max_size=6)
FLOATS = st.one_of(st.floats(), st.sampled_from([1.0, -0.0, 1e21, 1.5e-7, 0.1, 5e-324, 1e300, -math.inf,
                                                  math.nan, -math.nan]))
INTS = st.one_of(st.integers(-2**63, 2**63 - 1), st.sampled_from([2**63, -2**63 - 1, 2**70, 10**400]))
PLAIN_OF_TYPE = {"Bool": st.booleans(), "Int": INTS, "Float": FLOATS, "Str": TEXTS}
assert [*PLAIN_OF_TYPE, "Version"] == [*PLAIN_TYPES], "a value type without its model"  # versions: the machine's own rule
PLAIN = st.one_of(*PLAIN_OF_TYPE.values())
BAD_SEQUENCES = {"ab": "Can't extract `str` to `Vec`", 5: "'int' object cannot be cast as 'Sequence'"}
BAD = st.sampled_from([None, [], {}, b"ab", CmpType.Less, object()])


def float_text(x):
    if math.isnan(x) or math.isinf(x):
        return "NaN" if math.isnan(x) else "-inf" if x < 0 else "inf"
    return format(decimal.Decimal(repr(x)).normalize(), "f")


def plain_model(x):
    """Model of the literal that a plain value becomes, or None when no conversion accepts it."""
    if type(x) is int and not -2**63 <= x < 2**63:
        x = float(x) if abs(x) < 2**1023 else None
    if type(x) not in LITERAL_KINDS:
        return None
    shown = ("true" if x else "false") if type(x) is bool else float_text(x) if type(x) is float else str(x)
    return ("Value", LITERAL_KINDS[type(x)], shown, x)


# What each kind of field shows in its owner's text form.
FIELD_TEXT = {"constraint": lambda m: text(m), "list": lambda ms: [text(m) for m in ms], "op": lambda name: SYM[name],
              "text": lambda t: t}


def text(model):
    """The text form of a model: a literal's, or its class's form of its fields' texts."""
    if model[0] == "Value":
        return model[2]
    return ROWS[model[0]].form(*[FIELD_TEXT[KIND[f]](m) for f, m in zip(FIELDS[model[0]], model[1:])])


def value_type(m):
    return m[1] if m[0] == "Value" else ROWS[m[0]].value_type


def refused(exc, message, fn, *args):
    with pytest.raises(exc) as info:
        fn(*args)
    assert str(info.value) == message


ALNUM = set("0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ")
# One character at least of every category, escaped or not: Cc, Cf, Co, Cn, Mn, Me, Zl, Zp
# are escaped; Mc, Zs, Lo, Nd and So are not. Lone surrogates (Cs) never reach the parser.
VALPHA = "0123456789abAZ.-+*> _\t\r\n\0\"\\\x01\x85\xa0ü中\u0301\u0903\u20dd\u200b\xad\u2028\u2029\ue000\u0378😀"
UNPRINTABLE_TABLE = pathlib.Path(__file__).parent.parent / "src" / "core" / "unprintable.inc"


def unprintable_ranges():
    """The code point ranges escaped as \\u{...}: the generated table that the parser is built with."""
    return [tuple(int(n, 16) for n in re.findall(r"0x([0-9a-f]+)", line))
            for line in UNPRINTABLE_TABLE.read_text().splitlines() if line.startswith("{")]


UNPRINTABLE = unprintable_ranges()


def escape(s):
    named = {'"': '\\"', "\\": "\\\\", "\t": "\\t", "\r": "\\r", "\n": "\\n", "\0": "\\0"}
    hidden = {c for c in set(s) if any(first <= ord(c) <= last for first, last in UNPRINTABLE)}
    return "".join(named.get(c) or (f"\\u{{{ord(c):x}}}" if c in hidden else c) for c in s)


def reference_version(t):
    """(text form, debug form) of a version text, or the message of its refusal."""
    pieces, rest, shown, debug = re.split(r"([.+-])", t), False, [], []
    for i in range(0, len(pieces), 2):
        s = pieces[i]
        if i == len(pieces) - 1 and s == "":
            return "TrailingSeparator"
        if rest:
            return "PartAfterRest"
        if s in ("*", ">"):
            rest = s == ">"
            shown.append(s), debug.append("Wildcard(Single)" if s == "*" else "Wildcard(Rest)")
        elif s and set(s) <= set("0123456789") and int(s) < 2**64:
            shown.append(str(int(s))), debug.append(f"Int({int(s)})")
        elif not s:
            return "EmptyPart"
        elif set(s) <= ALNUM:
            shown.append(s), debug.append(f'Str("{s}")')
        else:
            return f'InvalidPart("{escape(s)}")'
        if i + 1 < len(pieces):
            shown.append(pieces[i + 1]), debug.append(f"Sep('{pieces[i + 1]}')")
    return "".join(shown), "Version { parts: [" + ", ".join(debug) + "] }"


@settings(SETTINGS, max_examples=400)
@given(st.one_of(st.text(alphabet=VALPHA, max_size=12), st.text(alphabet="0.>*-+a", max_size=8)))
@example("18446744073709551615.0018446744073709551616-007")
@example("1.>..")
@example("1.>.")
@example("1.a\x85\xa0\xad\u0378\u0903\u20dd\u2028\u2029\ue000b")  # every category, escaped or not
def test_version_parse_matches_reference(t):
    expected = reference_version(t)
    if isinstance(expected, str):
        refused(ValueError, expected, Version, t)
    else:
        v = Version(t)
        assert (str(v), repr(v)) == expected
        assert repr(Version(str(v))) == repr(v)


class ConstraintMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.pool = []  # [object, model] for live constraint objects
        self.versions = []  # (Version object, its text form)

    def keep(self, obj, model):
        assert type(obj).__name__ == model[0]
        if len(text(model)) > TEXT_LIMIT:
            assert text_of(obj) == text(model)
        else:
            self.pool = self.pool[-23:] + [[obj, model]]

    def operand(self, data, constraint_ok=True):
        """An object to pass on, with the model of the constraint it converts to (None: refused)."""
        where = data.draw(st.sampled_from(["plain", "plain", "bad"] + ["version"] * bool(self.versions)
                                          + ["pool"] * 3 * (constraint_ok and bool(self.pool))))
        if where == "pool":
            return tuple(data.draw(st.sampled_from(self.pool)))
        if where == "version":
            v, t = data.draw(st.sampled_from(self.versions))
            return v, ("Value", "Version", t, t)
        x = data.draw(PLAIN if where == "plain" else BAD)
        return x, plain_model(x)

    def same_type(self, data, vt):
        """An operand of value type `vt` (a live object or a plain value), or None."""
        choices = [st.sampled_from(c) for c in ([tuple(e) for e in self.pool if value_type(e[1]) == vt],
                   [(v, ("Value", "Version", t, t)) for v, t in self.versions if vt == "Version"]) if c]
        if vt in PLAIN_OF_TYPE:
            choices.append(PLAIN_OF_TYPE[vt].map(lambda x: (x, plain_model(x))))
        return data.draw(st.one_of(choices)) if choices else None

    def argument(self, data, name):
        """(object, model of the stored field, refusal message or None) for an argument or new value."""
        kind = KIND[name]
        if kind == "list":
            shape = data.draw(st.sampled_from([list, tuple, *BAD_SEQUENCES]))
            if shape in BAD_SEQUENCES:
                return shape, None, BAD_SEQUENCES[shape]
            items = [self.operand(data) for _ in range(data.draw(st.integers(0, 3)))]
            bad = [x for x, m in items if m is None]
            err = bad and f"cannot convert '{type(bad[0])}' to Constraint" or None
            return shape(x for x, _ in items), tuple(m for _, m in items), err
        if kind == "op":
            x = data.draw(st.sampled_from([*(getattr(CmpType, n) for n in OPVAL), 3, "Less"]))
            ok = type(x) is CmpType
            return x, ok and repr(x)[8:], None if ok else f"'{type(x).__qualname__}' object cannot be cast as 'CmpType'"
        if kind == "text":
            x = data.draw(st.one_of(TEXTS, st.sampled_from([5, None])))
            return x, x, None if isinstance(x, str) else f"'{type(x).__qualname__}' object cannot be cast as 'str'"
        x, m = self.operand(data)
        if kind == "constraint":
            return x, m, None if m else f"cannot convert '{type(x)}' to Constraint"
        m = None if isinstance(x, CLASSES) else m
        return x, m, None if m else f"cannot cast Python type '{type(x)}' to SpecOptionValue"

    @rule(data=st.data(), kind=st.sampled_from(sorted(CTORS)))
    def construct(self, data, kind):
        cls, names = CTORS[kind]
        args = [self.argument(data, n) for n in names]
        errors = [f"argument '{n}': {e}" for n, (_, _, e) in zip(names, args) if e]
        if errors:
            return refused(TypeError, errors[0], cls, *[x for x, _, _ in args])
        obj = cls(*[x for x, _, _ in args])
        if kind != "PackageOutline":
            self.keep(obj, (kind, *[m for _, m, _ in args]))

    @rule(data=st.data())
    def literal(self, data):
        x, m = self.operand(data, constraint_ok=False)
        if m:
            self.keep(Cmp(Depends("a"), x, CmpType.Equal).rhs, m)

    @rule(t=st.text(alphabet="0123456789ab.*>-", min_size=1, max_size=8))
    def construct_version(self, t):
        if not isinstance(reference_version(t), str):
            self.versions.append((Version(t), reference_version(t)[0]))

    @precondition(lambda self: self.pool)
    @rule(data=st.data())
    def set_field(self, data):
        entry = data.draw(st.sampled_from(self.pool))
        obj, model = entry
        field = data.draw(st.sampled_from(FIELDS[model[0]]))
        x, m, err = self.argument(data, field)
        if err:
            return refused(TypeError, f"argument '{field}': {err}", setattr, obj, field, x)
        setattr(obj, field, x)
        i = FIELDS[model[0]].index(field) + 1
        entry[1] = m if model[0] == "Value" else model[:i] + (m,) + model[i + 1:]
        if len(text(entry[1])) > TEXT_LIMIT:
            assert text_of(obj) == text(entry[1])
            self.pool.remove(entry)

    @precondition(lambda self: self.pool)
    @rule(data=st.data())
    def get_field(self, data):
        obj, model = data.draw(st.sampled_from(self.pool))
        field = data.draw(st.sampled_from(FIELDS[model[0]]))
        got, kind = getattr(obj, field), KIND[field]
        want = model if kind == "value" else model[FIELDS[model[0]].index(field) + 1]
        if kind == "constraint":
            assert got is not getattr(obj, field)
            self.keep(got, want)
        elif kind == "list":
            assert type(got) is list and len(got) == len(want)
            for item, m in zip(got, want):
                self.keep(item, m)
            got.append(Depends("appended"))
        elif kind == "op":
            assert (int(got), repr(got)) == (OPVAL[want], f"CmpType.{want}") and got is not getattr(CmpType, want)
        elif kind == "text":
            assert type(got) is str and got == want
        elif want[1] == "Version":
            assert type(got) is Version and str(got) == want[3] and got is not obj.value
        else:
            assert type(got) is type(want[3]) and plain_model(got)[2] == want[2]

    @precondition(lambda self: self.pool)
    @rule(data=st.data(), op=st.sampled_from(OPS))
    def compare(self, data, op):
        fn, member, mirrored = op
        a, ma = self.operand(data)
        b, mb = self.operand(data)
        if not isinstance(a, CLASSES):
            a, ma = data.draw(st.sampled_from(self.pool))
        if data.draw(st.booleans()):
            b, mb = self.same_type(data, value_type(ma)) or (b, mb)
        if data.draw(st.booleans()):
            a, ma, b, mb = b, mb, a, ma
        lm, rm, member = (ma, mb, member) if isinstance(a, CLASSES) else (mb, ma, mirrored)
        types = [value_type(m) if m else None for m in (lm, rm)]
        if rm is None:  # the interpreter's fallback: identity for == and !=, TypeError for ordering
            if member in ("Equal", "NotEqual"):
                assert fn(a, b) is (member == "NotEqual")
            else:
                pytest.raises(TypeError, fn, a, b)
        elif types[0] is not None and types[0] == types[1] and (types[0] != "Bool" or OPVAL[member] in (2, 3)):
            result = fn(a, b)
            assert int(result.op) == OPVAL[member]
            self.keep(result, ("Cmp", lm, rm, member))
        else:
            shown = ["None" if t is None else f"Some({t})" for t in types]
            refused(NotImplementedError, f"Cannot compare type {shown[0]} from constraint {text(lm)} with type "
                    f"{shown[1]} from constraint {text(rm)} using operator '{SYM[member]}'", fn, a, b)

    @precondition(lambda self: any(m[0] == "Cmp" for _, m in self.pool))
    @rule(data=st.data(), keyword=st.booleans())
    def if_then(self, data, keyword):
        obj, model = data.draw(st.sampled_from([e for e in self.pool if e[1][0] == "Cmp"]))
        x, m, err = self.argument(data, "then")
        call = (lambda: obj.if_then(then=x)) if keyword else (lambda: obj.if_then(x))
        if err:
            return refused(TypeError, f"argument 'then': {err}", call)
        self.keep(call(), ("IfThen", model, m))

    @invariant()
    def every_object_matches_its_model(self):
        for obj, model in self.pool:
            assert text_of(obj) == text(model)
        for v, t in self.versions:
            assert str(v) == t


ConstraintMachine.TestCase.settings = settings(SETTINGS, max_examples=200, stateful_step_count=50)
TestConstraintMachine = pytest.mark.exhaustive(ConstraintMachine.TestCase)
