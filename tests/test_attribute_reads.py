"""The methods remember what they learnt about types and about the module namespace; every
change made after a warm-up call must still be seen by the next call, as plain Python sees it.

The methods are called on plain objects here, so that the default attribute protocol (which
the remembered knowledge applies to) is in play whatever the Qt binding's widgets use.
"""

import builtins

import pytest

from conftest import SOURCE_PATH, qualified
from doubles import traceback_entries

TRACED = "Resolution_keyyyyyyyyyyyyy"


def plain_field(log):
    """A field-shaped plain object whose class (and its base) belong to one test only."""

    class Base:
        pass

    class Field(Base):
        pass

    f = Field()
    namespace = type("Namespace", (), {})
    signal, complete, field = namespace(), namespace(), namespace()
    signal.emit = lambda v: log.append(("emit", v))
    field._set_value = lambda **kw: log.append(("_set_value", kw["value"]))
    field._set_slot = lambda request: log.append(("_set_slot", request))
    complete._inputField = field
    vars(f).update(_value=None, _selected=False, _onChange=None, _key=None, _name="country",
                   _setState=lambda v: log.append(("setState", v)), valueChanged=signal,
                   _complete=complete)
    return Base, Field, f


def set_value(tessu, f, value):
    tessu.TessuAutocomplete.set_value(f, value)


def store_through_base_property(Base, Field, f, log):
    Base._value = property(lambda self: "from-property", lambda self, v: log.append(("stored", v)))


def read_through_class_property(Base, Field, f, log):
    Field._setState = property(lambda self: lambda v: log.append(("setState-prop", v)))


def base_hides_complete(Base, Field, f, log):
    def absent(self):
        raise LookupError("not yet")

    Base._complete = property(absent)  # a data descriptor wins over the instance dict


def plain_class_attribute(Base, Field, f, log):
    Base._setState = lambda self, v: log.append(("never", v))  # the instance dict still wins


def instance_only(Base, Field, f, log):
    f._setState = lambda v: log.append(("setState-new", v))


@pytest.mark.parametrize("change, seen", [
    (store_through_base_property, [("stored", 5), ("emit", 5), ("_set_value", "from-property"),
                                   ("setState", "from-property")]),
    (read_through_class_property, [("emit", 5), ("_set_value", 5), ("setState-prop", 5)]),
    (base_hides_complete, [("emit", 5), ("setState", 5)]),
    (plain_class_attribute, [("emit", 5), ("_set_value", 5), ("setState", 5)]),
    (instance_only, [("emit", 5), ("_set_value", 5), ("setState-new", 5)]),
], ids=lambda x: getattr(x, "__name__", ""))
def test_type_changes_after_a_call_are_seen_by_the_next(tessu, change, seen):
    log = []
    Base, Field, f = plain_field(log)
    set_value(tessu, f, 4)
    log.clear()
    change(Base, Field, f, log)
    set_value(tessu, f, 5)
    assert log == seen


def spend_version_tags(cls):
    """Changes cls until the interpreter gives it no more version tags, as it does after a
    thousand or so changes: then nothing about the class can be remembered by version."""
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "type_assign_version"):
        pytest.skip("this interpreter's _testcapi cannot assign version tags")
    for i in range(100_000):
        if not testcapi.type_assign_version(cls):
            return
        cls.spent = i
    pytest.skip("this interpreter never stops giving a class version tags")


@pytest.mark.parametrize("change, seen", [
    (read_through_class_property, [("emit", 5), ("_set_value", 5), ("setState-prop", 5)]),
    (base_hides_complete, [("emit", 5), ("setState", 5)]),
], ids=lambda x: getattr(x, "__name__", ""))
def test_a_class_without_version_tags_keeps_data_descriptors_first(tessu, change, seen):
    log = []
    Base, Field, f = plain_field(log)
    set_value(tessu, f, 4)
    spend_version_tags(Field)
    log.clear()
    change(Base, Field, f, log)
    set_value(tessu, f, 5)
    assert log == seen


def read_hook(Field, log):
    def getattribute(self, name):
        log.append(name)
        return object.__getattribute__(self, name)

    Field.__getattribute__ = getattribute


def write_hook(Field, log):
    def setattr_(self, name, value):
        log.append(name)
        object.__setattr__(self, name, value)

    Field.__setattr__ = setattr_


@pytest.mark.parametrize("hook, touched", [
    (read_hook, ["_value", "_selected", "_onChange", "valueChanged", "_key", "_complete",
                 "_complete", "_value", "_setState", "_value"]),
    (write_hook, ["_value"]),
])
def test_own_attribute_hooks_see_every_access(tessu, hook, touched):
    log = []
    _, Field, f = plain_field([])
    set_value(tessu, f, 1)
    hook(Field, log)
    set_value(tessu, f, 2)
    assert log == touched


def fails_as_python_does(tessu, obj, name):
    """set_value(obj) raises what reading obj.<name> in Python raises; gives set_value's."""
    with pytest.raises(AttributeError) as plain:
        getattr(obj, name)
    with pytest.raises(AttributeError) as info:
        set_value(tessu, obj, 2)
    assert str(info.value) == str(plain.value)
    return info


def test_deleted_instance_attribute_raises_the_interpreters_error(tessu):
    _, _, f = plain_field([])
    set_value(tessu, f, 1)
    del f._onChange
    info = fails_as_python_does(tessu, f, "_onChange")
    assert info.value.name == "_onChange" and info.value.obj is f
    assert [n for n, _ in traceback_entries(info.value, SOURCE_PATH)] == [
        qualified("TessuAutocomplete.set_value")]


def test_objects_without_an_instance_dict_take_the_full_protocol(tessu):
    log = []
    _, _, template = plain_field(log)

    class Slotted:
        __slots__ = tuple(vars(template))

    s = Slotted()
    for name, value in vars(template).items():
        setattr(s, name, value)
    set_value(tessu, s, [])
    assert s._value is None and log == [("emit", []), ("_set_value", None), ("setState", None)]
    del s._setState
    fails_as_python_does(tessu, s, "_setState")


class Theme:
    def __init__(self, colour):
        caption = type("Caption", (), {"fontSize": "12px", "fontWeight": 400})()
        self.typography = type("T", (), {"caption": caption})()
        self.palette = type("P", (), {"error": type("E", (), {"main": colour})()})()


class EqualOnce:
    """A key that is not a str and stands in for "useTheme" at the first lookup only."""

    def __init__(self):
        self.asked = False

    def __hash__(self):
        return hash("useTheme")

    def __eq__(self, other):
        first, self.asked = not self.asked, True
        return first and other == "useTheme"


def styled_field(log):
    """A plain field whose caption logs the error colour of each style sheet it gets."""
    _, _, f = plain_field(log)
    caption = type("Caption", (), {})()
    caption.setText = caption.show = caption.hide = lambda *a: None
    caption.isVisible = lambda: True
    caption.setStyleSheet = lambda sheet: log.append(sheet.split("color: ")[1].split(";")[0])
    f.lbl_helper_text = caption
    return f


@pytest.mark.parametrize("how", ["replaced", "deleted-to-builtins", "deleted", "equal-once"])
def test_module_names_are_read_afresh_after_a_warm_call(tessu, monkeypatch, how):
    log = []
    f = styled_field(log)
    state = {"field": "country", "error": True, "error_message": ["bad"]}
    monkeypatch.setitem(vars(tessu), "useTheme", lambda: Theme("#111111"))
    tessu.TessuAutocomplete.state(f, state)
    if how == "replaced":
        monkeypatch.setitem(vars(tessu), "useTheme", lambda: Theme("#222222"))
    else:
        monkeypatch.delitem(vars(tessu), "useTheme")
        if how == "deleted-to-builtins":
            monkeypatch.setattr(builtins, "useTheme", lambda: Theme("#333333"), raising=False)
        if how == "equal-once":
            monkeypatch.setitem(vars(tessu), EqualOnce(), lambda: Theme("#444444"))
            tessu.TessuAutocomplete.state(f, state)
    if how in ("deleted", "equal-once"):
        with pytest.raises(NameError, match="^name 'useTheme' is not defined$"):
            tessu.TessuAutocomplete.state(f, state)
        seen = ["#111111", "#444444"] if how == "equal-once" else ["#111111"]
        assert [e for e in log if isinstance(e, str)] == seen
        return
    tessu.TessuAutocomplete.state(f, state)
    expected = "#222222" if how == "replaced" else "#333333"
    assert [e for e in log if isinstance(e, str)] == ["#111111", expected]


def class_theme():
    class Base:
        pass

    class palette:
        class error(Base):
            main = "#111111"

    class typography:
        class caption:
            fontSize, fontWeight = "12px", 400

    return type("Theme", (), {"palette": palette, "typography": typography}), Base


class Meta(type):
    main = "#from-meta"


def recolour(theme, base):
    theme.palette.error.main = "#222222"


def moved_to_base(theme, base):
    base.main = "#333333"
    del theme.palette.error.main


def become_descriptor(theme, base):
    theme.palette.error.main = classmethod(lambda cls: "never")


def deleted(theme, base):
    del theme.palette.error.main


def on_metaclass(theme, base):
    theme.palette.error = Meta("error", (), {})


def metaclass_data_descriptor(theme, base):
    Meta2 = type("Meta2", (type,), {"main": property(lambda cls: "#from-meta-property")})
    theme.palette.error = Meta2("error", (), {"main": "#hidden"})


@pytest.mark.parametrize("change", [recolour, moved_to_base, become_descriptor, deleted,
                                    on_metaclass, metaclass_data_descriptor],
                         ids=lambda f: f.__name__)
def test_theme_classes_are_read_as_python_reads_them(tessu, monkeypatch, change):
    log = []
    f = styled_field(log)
    theme, base = class_theme()
    monkeypatch.setitem(vars(tessu), "useTheme", lambda: theme)
    state = {"field": "country", "error": True, "error_message": ["bad"]}
    tessu.TessuAutocomplete.state(f, state)
    change(theme, base)
    try:
        expected = str(theme.palette.error.main)
    except AttributeError as exc:
        with pytest.raises(AttributeError) as info:
            tessu.TessuAutocomplete.state(f, state)
        assert str(info.value) == str(exc)
        return
    tessu.TessuAutocomplete.state(f, state)
    assert [e for e in log if isinstance(e, str)] == ["#111111", expected]


class LoudKey(str):
    """Equal to "country" by its own rule, so that a shortcut taken on str would miss it."""

    def __eq__(self, other):
        return True

    __hash__ = str.__hash__


@pytest.mark.parametrize("state, shown", [
    ({"field": "country", "error": False}, True),
    ({"field": LoudKey("elsewhere"), "error": False}, True),
    ({"field": "elsewhere", "error": False}, False),
    (type("OwnGet", (dict,), {"get": lambda self, k: {"field": "country"}.get(k)})(
        {"field": "elsewhere"}), True),
])
def test_form_states_are_read_through_their_own_protocols(tessu, monkeypatch, state, shown):
    log = []
    _, _, f = plain_field(log)
    f.lbl_helper_text = type("Caption", (), {"hide": lambda self: log.append("hide")})()
    monkeypatch.setitem(vars(tessu), "useTheme", lambda: None)
    tessu.TessuAutocomplete.state(f, state)
    assert ("hide" in log) is shown


@pytest.mark.parametrize("key, printed", [(TRACED, True), (LoudKey("x"), True), ("x", False)])
def test_traced_key_equality_is_python_equality(tessu, capsys, key, printed):
    _, _, f = plain_field([])
    f._key = key
    set_value(tessu, f, 7)
    assert (capsys.readouterr().out == f"{TRACED} 7\n") is printed


def test_instance_dict_lookup_failures_propagate_once(tessu):
    """A key whose comparison raises makes the read fail as it would in Python, run once."""
    compared, armed = [], []

    class Clash:
        def __hash__(self):
            return hash("_setState")

        # Unarmed while it goes in: an instance dict may share its keys with the class's
        # other instances, where the name stays after `del`, and then the insertion itself
        # compares with it (3.14, and later 3.13 releases).
        def __eq__(self, other):
            if not armed:
                return NotImplemented
            compared.append(other)
            raise RuntimeError("cannot compare")

    _, _, f = plain_field([])
    set_value(tessu, f, 1)
    del f._setState
    vars(f)[Clash()] = None
    armed.append(True)
    with pytest.raises(RuntimeError):
        f._setState  # noqa: B018 (the read itself is what fails)
    in_python = len(compared)
    with pytest.raises(RuntimeError, match="^cannot compare$") as info:
        set_value(tessu, f, 2)
    assert len(compared) == 2 * in_python
    assert [n for n, _ in traceback_entries(info.value, SOURCE_PATH)] == [
        qualified("TessuAutocomplete.set_value")]
