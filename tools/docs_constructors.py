"""A Griffe extension for the documentation site (mkdocs.yml): each class's `__new__`
is taken as its `__init__`, so that the API reference shows a constructor as its
call, `NumOf(of)`, with its docstring merged into the class's (mkdocstrings merges
`__init__` alone). An overloaded constructor is shown by its first overload, which
carries the docstring. The stubs keep `__new__`, which is what the classes define."""

from typing import Any

import griffe


class ConstructorsAsCalls(griffe.Extension):
    def on_class_members(self, *, cls: griffe.Class, **kwargs: Any) -> None:
        overloads = cls.overloads.pop("__new__", [])  # a stub's overloads have no implementation
        constructor = cls.members.get("__new__") or (overloads[0] if overloads else None)
        if isinstance(constructor, griffe.Function):
            if "__new__" in cls.members:
                cls.del_member("__new__")
            constructor.name = "__init__"
            cls.set_member("__init__", constructor)
