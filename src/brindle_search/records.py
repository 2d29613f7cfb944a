"""Record classes: what the package's results and its internal records take from dataclasses.

``@record`` (``@record(frozen=True)``) reads a class's annotated fields and their defaults and gives
it what a dataclass has: an ``__init__`` taking the fields by position or name, a repr of the
form ``Name(field=value, ...)``, equality of records of the same class, a hash for frozen records
(which refuse assignment), ``__match_args__``, and ``replace``/``fields``/``as_tuple``. It exists
because importing dataclasses (and inspect, ast and dis with it) costs a short command-line run
more than all of its own work.
"""

from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable
    from typing import Any, TypeVar

    # The checkers read records as they read dataclasses (PEP 681).
    from typing_extensions import dataclass_transform

    T = TypeVar("T")
else:

    def dataclass_transform(**_: object) -> Callable[[T], T]:
        return lambda decorated: decorated


__all__ = ["FrozenRecordError", "field", "fields", "record", "replace"]

_MISSING: Any = object()


class FrozenRecordError(AttributeError):
    """Assignment to a field of a frozen record."""


class Field:
    """A field whose declaration needs more than a plain default."""

    __slots__ = ("name", "default", "factory", "repr", "compare")

    def __init__(self, default: Any, factory: Callable[[], Any] | None, repr: bool, compare: bool) -> None:
        self.name = ""
        self.default = default
        self.factory = factory
        self.repr = repr
        self.compare = compare


def field(
    *,
    default: Any = _MISSING,
    default_factory: Callable[[], Any] | None = None,
    repr: bool = True,
    compare: bool = True,
) -> Any:
    """A field with a default made anew for each record, or left out of the repr or comparisons."""
    return Field(default, default_factory, repr, compare)


def _frozen_setattr(self: Any, name: str, value: Any) -> None:
    raise FrozenRecordError(f"cannot assign to field {name!r}")


def _frozen_delattr(self: Any, name: str) -> None:
    raise FrozenRecordError(f"cannot delete field {name!r}")


def _repr(self: Any) -> str:
    shown = ", ".join(f"{f.name}={getattr(self, f.name)!r}" for f in self.__record_fields__ if f.repr)
    return f"{type(self).__qualname__}({shown})"


def _eq(self: Any, other: object) -> Any:
    compared: tuple[Field, ...] = self.__record_fields__
    if other.__class__ is not self.__class__:
        return NotImplemented
    return all(getattr(self, f.name) == getattr(other, f.name) for f in compared if f.compare)


def _hash(self: Any) -> int:
    return hash(tuple(getattr(self, f.name) for f in self.__record_fields__ if f.compare))


def _make_init(cls: type, declared: list[Field]) -> Callable[..., None]:
    """An ``__init__`` compiled for the fields, as fast to call as a dataclass's."""
    namespace: dict[str, Any] = {"_MISSING": _MISSING}
    params, body = [], []
    for f in declared:
        if f.factory is not None:
            namespace[f"_factory_{f.name}"] = f.factory
            params.append(f"{f.name}=_MISSING")
            body.append(f"d[{f.name!r}] = _factory_{f.name}() if {f.name} is _MISSING else {f.name}")
            continue
        if f.default is not _MISSING:
            namespace[f"_default_{f.name}"] = f.default
            params.append(f"{f.name}=_default_{f.name}")
        else:
            params.append(f.name)
        body.append(f"d[{f.name!r}] = {f.name}")
    source = f"def __init__(self, {', '.join(params)}):\n    d = self.__dict__\n"
    source += "".join(f"    {line}\n" for line in body) or "    pass\n"
    exec(source, namespace)
    init: Callable[..., None] = namespace["__init__"]
    init.__qualname__ = f"{cls.__qualname__}.__init__"
    return init


def _first_init(cls: type, declared: list[Field]) -> Callable[..., None]:
    """An ``__init__`` that compiles the record's own on the first construction (a class that a run
    never constructs costs no compilation) and puts it in its place."""

    def __init__(self: Any, *args: Any, **kwargs: Any) -> None:
        init = _make_init(cls, declared)
        type.__setattr__(cls, "__init__", init)
        init(self, *args, **kwargs)

    __init__.__qualname__ = f"{cls.__qualname__}.__init__"
    return __init__


@dataclass_transform(field_specifiers=(field,))
def record(cls: type[T] | None = None, /, *, frozen: bool = False) -> Any:
    """Make ``cls`` a record of its annotated fields (``@record`` or ``@record(frozen=True)``)."""

    def make(cls: Any) -> Any:
        declared = []
        for name, annotation in cls.__dict__.get("__annotations__", {}).items():
            if str(annotation).startswith(("ClassVar", "typing.ClassVar")):
                continue
            value = cls.__dict__.get(name, _MISSING)
            f = value if isinstance(value, Field) else Field(value, None, True, True)
            f.name = name
            if isinstance(value, Field):
                if f.default is _MISSING:
                    delattr(cls, name)
                else:
                    setattr(cls, name, f.default)
            declared.append(f)
        cls.__record_fields__ = tuple(declared)
        type.__setattr__(cls, "__match_args__", tuple(f.name for f in declared))
        cls.__init__ = _first_init(cls, declared)
        # A class's own repr, equality or hash is kept (a class that defines __eq__ alone gets a
        # __hash__ of None from Python, which does not count as its own).
        own_hash = cls.__dict__.get("__hash__", _MISSING)
        keeps_hash = own_hash is not _MISSING and not (own_hash is None and "__eq__" in cls.__dict__)
        if "__repr__" not in cls.__dict__:
            cls.__repr__ = _repr
        if "__eq__" not in cls.__dict__:
            cls.__eq__ = _eq
        if not keeps_hash:
            cls.__hash__ = _hash if frozen else None
        if frozen:
            cls.__setattr__ = _frozen_setattr
            cls.__delattr__ = _frozen_delattr
        return cls

    return make if cls is None else make(cls)


def fields(obj: Any) -> tuple[Field, ...]:
    """The fields of a record or record class, in declaration order."""
    found: tuple[Field, ...] = obj.__record_fields__
    return found


def replace(obj: T, **changes: Any) -> T:
    """A copy of the record ``obj`` with the fields named in ``changes`` changed."""
    values = {f.name: getattr(obj, f.name) for f in obj.__record_fields__}  # type: ignore[attr-defined]
    unknown = set(changes) - set(values)
    if unknown:
        raise TypeError(f"{type(obj).__qualname__} has no field {sorted(unknown)[0]!r}")
    values.update(changes)
    return type(obj)(**values)
