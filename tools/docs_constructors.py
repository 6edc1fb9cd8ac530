"""A Griffe extension for the documentation site (mkdocs.yml): each class's `__new__`
is taken as its `__init__`, so that the API reference shows a constructor as its
call, `NumOf(of)`, with its docstring merged into the class's (mkdocstrings merges
`__init__` alone). The stubs keep `__new__`, which is what the classes define."""

from typing import Any

import griffe


class ConstructorsAsCalls(griffe.Extension):
    def on_class_members(self, *, cls: griffe.Class, **kwargs: Any) -> None:
        constructor = cls.members.get("__new__")
        if isinstance(constructor, griffe.Function):
            cls.del_member("__new__")
            constructor.name = "__init__"
            cls.set_member("__init__", constructor)
