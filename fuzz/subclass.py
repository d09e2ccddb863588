"""Fuzz target: subclasses of the field's class, built from class bodies decoded from the
input (overridden methods and properties, slots, __init_subclass__, metaclasses and
__mro_entries__ bases), each constructed and driven as fuzz/field.py drives the field's own
class, beside the same subclass of the model's.

    python fuzz/subclass.py [libFuzzer options] [corpus directory or input files...]
"""

import types

import program
import qtpy
import test_differential as td
from qtpy.QtCore import Signal

ROUNDS = program.Rounds()
METHODS = ("set_value", "state", "__init__")
# The constructor's own attributes come last: a property among them that refuses a write
# fails the constructor half-way, after the host calls it made.
ATTRIBUTES = ("_complete", "lbl_helper_text", "_onChange", "_name", "_selected", "_setState",
              "_key", "stateSignal", "valueChanged", "set_value", "_label", "_value",
              "_helperText", "_state", "_stateSignal")
SLOTS = ((), ("extra",), ("_name",), ("_complete",), ("_value", "_key"), ("__weakref__",))
# PySide6 (6.12) leaves the slots of a class uninitialised in the instances of a subclass of
# it, so the first write into one frees whatever the memory held: the model crashes as the
# field does. Every class here is subclassed again to probe it.
SLOTS_HOLD = qtpy.API_NAME != "PySide6"


def method(name, how, cell):
    """An override that records its call and then does what `how` says."""

    def override(self, *args, **kwargs):
        td.rec(f"sub.{name}", *args, **kwargs)
        parent = getattr(super(cell[0], self), name)
        if how == "super":
            return parent(*args, **kwargs)
        if how == "early":  # attributes set before the field's own constructor runs
            self._label = "early"
            return parent(*args, **kwargs)
        if how == "extra":
            return parent(*args, extra=1, **kwargs)
        if how == "swap":  # the override hands on something else than it was given
            return parent(*(("swapped",) + args[1:] if args else ()), **kwargs)
        if how == "raise":
            raise ValueError(f"sub.{name} refuses")
        return "skipped"

    override.__name__ = name
    return override


def attribute(name, how):
    """A class-level stand-in for an instance attribute, a method or a signal."""
    hidden = "_hidden" + name

    def get(self):
        td.rec(f"get.{name}")
        if how == "raising":
            raise RuntimeError(f"{name} cannot be read")
        try:
            return vars(self)[hidden]
        except KeyError:
            raise AttributeError(name) from None

    def put(self, value):
        td.rec(f"put.{name}", value)
        vars(self)[hidden] = value

    if how in ("raising", "stored"):
        return property(get, put)
    if how == "readonly":
        return property(get)
    if how == "signal":
        return Signal(object)
    return {"none": None, "number": 5}[how]


class Body:
    """A class body drawn from the input, rebuilt on each base it is asked for."""

    def __init__(self, b):
        self.methods = {m: b.pick(("super", "early", "extra", "swap", "raise", "skip"))
                        for m in METHODS if b.chance(3)}
        # A signal anywhere but in its own place would be a new object at every read.
        self.attributes = {a: b.pick(("raising", "stored", "readonly", "none", "number") + (
            ("signal",) if a == "valueChanged" else ())) for a in ATTRIBUTES if b.chance(8)}
        self.slots = b.pick(SLOTS) if b.chance(4) and SLOTS_HOLD else None
        self.hook = b.pick((None, None, "record", "mark"))
        self.meta = b.pick((None, None, "record", "call"))
        self.entries = b.pick((None, None, "plain", "mixin"))

    def __call__(self, base):
        cell = [None]
        namespace = {name: method(name, how, cell) for name, how in self.methods.items()}
        namespace.update({name: attribute(name, how) for name, how in self.attributes.items()})
        if self.slots is not None:
            namespace["__slots__"] = self.slots
        bases = (base,)
        if self.hook:
            hook = classmethod(self.init_subclass)
            bases = (types.new_class("Hooked", bases,
                                     exec_body=lambda ns: ns.update(__init_subclass__=hook)),)
        if self.entries:
            bases = (Entries(bases[0], self.entries == "mixin"),)
        kwds = {"metaclass": self.metaclass(type(base))} if self.meta else {}
        cell[0] = types.new_class("Derived", bases, kwds, lambda ns: ns.update(namespace))
        return cell[0]

    def init_subclass(self, cls, **kwargs):
        td.rec("__init_subclass__", cls.__name__, **kwargs)
        if self.hook == "mark":
            cls.marked = True

    def metaclass(self, base_meta):
        def __new__(meta, name, bases, namespace, **kwargs):
            td.rec("meta.__new__", name)
            return base_meta.__new__(meta, name, bases, namespace, **kwargs)

        def __call__(cls, *args, **kwargs):
            td.rec("meta.__call__", *args, **kwargs)
            return base_meta.__call__(cls, *args, **kwargs)

        body = {"__new__": __new__}
        if self.meta == "call":
            body["__call__"] = __call__
        return type("Meta", (base_meta,), body)


class Mixin:
    def set_value(self, *args, **kwargs):
        td.rec("mixin.set_value", *args, **kwargs)
        return super().set_value(*args, **kwargs)


class Entries:
    """A base that is no class: it names the classes to derive from instead."""

    def __init__(self, base, mixin):
        self.base, self.mixin = base, mixin

    def __mro_entries__(self, bases):
        td.rec("__mro_entries__")
        return (Mixin, self.base) if self.mixin else (self.base,)


def one_input(data):
    try:
        b = program.Decoder(data)
        body = Body(b)
        sc = b.scenario(derive=body)
        program.judge(sc, b.fault())
    finally:
        ROUNDS()


if __name__ == "__main__":
    program.main(one_input)
