"""Hostile objects for the fuzz target (tools/fuzz).

The cases of the fuzz target build their arguments, engine stand-ins and
module hooks from these. A reproducer script copies the definitions its
case uses, so each one stands on its own: it may use the modules imported
here and the other definitions of this file, nothing else.
"""
import gc  # noqa: F401  (used by the cases' actions)
import operator
import types

import panda3d.core as core  # noqa: F401  (used by the cases)
import tavik.tavik as kit  # noqa: F401  (used by the cases)


def fail(error):
    """Raises `error`: an action for places where only an expression fits."""
    raise error


class Trap:
    """A value whose special methods run `action` first (the first `times`
    times one of the methods named in `on` runs), then answer as `value`."""

    def __init__(self, value, action=None, on=(), times=1):
        object.__setattr__(self, "trap", [value, action, frozenset(on), times])

    def _spring(self, name):
        trap = object.__getattribute__(self, "trap")
        if name in trap[2] and trap[3] > 0 and trap[1] is not None:
            trap[3] -= 1
            trap[1]()
        return trap[0]

    def __float__(self):
        return float(self._spring("__float__"))

    def __int__(self):
        return int(self._spring("__int__"))

    def __index__(self):
        return operator.index(self._spring("__index__"))

    def __bool__(self):
        return bool(self._spring("__bool__"))

    def __len__(self):
        return len(self._spring("__len__"))

    def __iter__(self):
        return iter(self._spring("__iter__"))

    def __getitem__(self, key):
        return self._spring("__getitem__")[key]

    def __eq__(self, other):
        return self._spring("__eq__") == other

    def __ne__(self, other):
        return self._spring("__ne__") != other

    def __lt__(self, other):
        return self._spring("__lt__") < other

    def __gt__(self, other):
        return self._spring("__gt__") > other

    def __hash__(self):
        return hash(self._spring("__hash__"))

    def __str__(self):
        return str(self._spring("__str__"))

    def __repr__(self):
        return repr(self._spring("__repr__"))

    def __add__(self, other):
        return self._spring("__add__") + other

    def __radd__(self, other):
        return other + self._spring("__add__")

    def __sub__(self, other):
        return self._spring("__sub__") - other

    def __rsub__(self, other):
        return other - self._spring("__sub__")

    def __mul__(self, other):
        return self._spring("__mul__") * other

    def __rmul__(self, other):
        return other * self._spring("__mul__")

    def __pow__(self, other):
        return self._spring("__pow__") ** other

    def __neg__(self):
        return -self._spring("__neg__")

    def __call__(self, *args, **kwargs):
        return self._spring("__call__")(*args, **kwargs)

    def __getattr__(self, name):
        return getattr(self._spring("__getattr__"), name)

    def __del__(self):
        self._spring("__del__")


def mimic(base, value, action=None, on=(), times=1):
    """An instance of a fresh subclass of `base` (int, float, str, tuple,
    list...) made from `value`, whose special methods named in `on` run
    `action` first, then do what `base` does: it passes every type check."""
    springs = [times]

    def spring(name):
        if name in on and springs[0] > 0 and action is not None:
            springs[0] -= 1
            action()

    def overriding(name, real):
        def method(self, *args):
            spring(name)
            return real(self, *args)
        return method

    namespace = {}
    for name in ("__float__", "__int__", "__index__", "__bool__", "__len__", "__iter__", "__getitem__",
                 "__eq__", "__ne__", "__lt__", "__hash__", "__str__", "__repr__", "__add__", "__sub__",
                 "__mul__", "__neg__", "__contains__"):
        real = getattr(base, name, None)
        if real is not None:
            namespace[name] = overriding(name, real)
    return type("Mimic" + base.__name__.title(), (base,), namespace)(value)


class Missing:
    """No attributes of its own; calling it gives another Missing."""
    __slots__ = ()

    def __call__(self, *args, **kwargs):
        return Missing()


class Thing:
    """Only the attributes it is given: stands where an application, a task
    or a node goes."""

    def __init__(self, **attributes):
        self.__dict__.update(attributes)


def returning(value):
    """A stand-in callable that answers `value` whatever it is given."""
    def stand_in(*args, **kwargs):
        return value
    return stand_in


def raiser(error):
    """A stand-in callable that raises `error`."""
    def stand_in(*args, **kwargs):
        raise error
    return stand_in


def reentering(real, action, times=1):
    """A stand-in for `real` that runs `action` first, the first `times` times."""
    springs = [times]

    def stand_in(*args, **kwargs):
        if springs[0] > 0:
            springs[0] -= 1
            action()
        return real(*args, **kwargs)
    return stand_in


class Proxy:
    """Wraps an engine object: the attributes in `lacking` are missing, those
    in `raising` raise, those in `acting` run `action` before they are handed
    out; everything else is the real object's."""

    def __init__(self, real, lacking=(), raising=(), acting=(), action=None):
        object.__setattr__(self, "proxied", (real, frozenset(lacking), frozenset(raising), frozenset(acting), action))

    def __getattr__(self, name):
        real, lacking, raising, acting, action = object.__getattribute__(self, "proxied")
        if name in lacking:
            raise AttributeError(f"stand-in has no attribute {name!r}")
        if name in raising:
            raise RuntimeError(f"stand-in refuses {name!r}")
        if name in acting and action is not None:
            action()
        return getattr(real, name)

    def __iter__(self):
        return iter(object.__getattribute__(self, "proxied")[0])

    def __getitem__(self, key):
        return object.__getattribute__(self, "proxied")[0][key]

    def __len__(self):
        return len(object.__getattribute__(self, "proxied")[0])


def proxied(real_class, lacking=(), raising=(), acting=(), action=None):
    """A stand-in for an engine class: it makes the real object and hands
    out a Proxy of it."""
    def stand_in(*args, **kwargs):
        return Proxy(real_class(*args, **kwargs), lacking, raising, acting, action)
    return stand_in


def hook_module(module, names, mode, action=None, value=None, times=1):
    """Gives `module` a class whose attribute lookup of `names` (the first
    `times` times) raises ("raise"), runs `action` first ("reenter") or
    answers `value` ("value")."""
    springs = [times]

    class Hooked(types.ModuleType):
        def __getattribute__(self, name):
            if name in names and springs[0] > 0:
                springs[0] -= 1
                if mode == "raise":
                    raise LookupError(f"hooked lookup of {name}")
                if mode == "reenter" and action is not None:
                    action()
                if mode == "value":
                    return value
            return types.ModuleType.__getattribute__(self, name)

    module.__class__ = Hooked


def nest(depth, leaf=0):
    """`leaf` inside `depth` nested lists."""
    value = leaf
    for _ in range(depth):
        value = [value]
    return value
