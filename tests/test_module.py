"""Import-time life of the compiled module: its namespace, the guards against a second
initialisation or interpreter, host failures and the interpreter-version warning."""

import builtins
import ctypes
import importlib
import importlib.util
import json
import os
import platform
import re
import shutil
import subprocess
import sys
import textwrap
import types
from pathlib import Path

import pytest

from conftest import MODULE_NAME, SOURCE_PATH, python_api

INIT = f"init {MODULE_NAME}"
NAMESPACE = ["__builtins__", "Callable", "Optional", "Sequence", "Qt", "Property", "Slot",
             "Signal", "QWidget", "QVBoxLayout", "QFrame", "QLabel", "useTheme", "useState",
             "State", "Controller", "TextField", "Autocomplete", "TessuAutocomplete", "__test__"]

# Just enough of the framework for the import to complete; qtpy stays the real one.
FAKE_HOST = {
    "zarvel/__init__.py": "",
    "zarvel/hooks/__init__.py": "def useState(initial):\n    return None, None\n",
    "zarvel/hooks/use_state.py": "class State:\n    pass\n",
    "zarvel/material/__init__.py": "",
    "zarvel/material/styles.py": "def useTheme():\n    return None\n",
    "zarvel/material/controller.py": "class Controller:\n    pass\n",
    "zarvel/material/textfield/__init__.py": "",
    "zarvel/material/textfield/textfield.py": "class TextField:\n    pass\n",
    "zarvel/material/auto_complete/__init__.py": "",
    "zarvel/material/auto_complete/complete.py": "class Autocomplete:\n    pass\n",
    "zarvel/material/hook_form/__init__.py": "",
}

# Runs `prelude`, imports the module, runs `epilogue` and prints what happened as JSON.
LAUNCHER = textwrap.dedent(f"""
    import json, sys, traceback, warnings
    report = {{}}
    exec(sys.argv[1])
    with warnings.catch_warnings(record=True) as caught:
        try:
            import {MODULE_NAME} as mod
        except BaseException as e:
            report["error"] = [type(e).__name__, str(e)]
            report["entries"] = [[f.filename, f.lineno, f.name]
                                 for f in traceback.extract_tb(e.__traceback__)]
        else:
            report["names"] = list(vars(mod))
    report["warnings"] = [[w.category.__name__, str(w.message)] for w in caught]
    exec(sys.argv[2])
    print(json.dumps(report))
""")


@pytest.fixture(scope="session")
def installed_so(tessu):
    return Path(tessu.__file__)


@pytest.fixture
def fake_host(tmp_path, installed_so):
    """A throwaway framework tree around a copy of an extension build."""
    def build(so=installed_so, **overrides):
        for rel, text in {**FAKE_HOST, **overrides}.items():
            (tmp_path / rel).parent.mkdir(parents=True, exist_ok=True)
            (tmp_path / rel).write_text(text)
        shutil.copy(so, tmp_path / "zarvel/material/hook_form" / so.name)
        return tmp_path
    return build


def run_python(*args, **kwargs):
    """A separate process, so that a crash or a process-wide guard stays out of pytest's."""
    proc = subprocess.run([sys.executable, *args], capture_output=True, text=True,
                          timeout=120, **kwargs)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.splitlines()


def run_import(tree, prelude="", epilogue="", flags=()):
    out = run_python(*flags, "-c", LAUNCHER, prelude, epilogue, cwd=tree,
                     env=dict(os.environ, PYTHONPATH=str(tree)))
    return json.loads(out[-1])


def own_entries(report):
    return [e for e in report["entries"] if e[0] == SOURCE_PATH]


class TestNamespace:
    def test_binding_order_and_values(self, tessu):
        # Other tests swap host names in and out of this process's module, which reorders
        # its dict; a fresh interpreter sees the order the import itself produced.
        out = run_python(
            "-c", f"import json, {tessu.__name__} as m; print(json.dumps(list(vars(m))))")
        names = json.loads(out[-1])
        assert names[names.index("__builtins__"):] == NAMESPACE
        assert tessu.__builtins__ is builtins
        assert type(tessu.__test__) is dict and tessu.__test__ == {}


class TestSingleInitialisation:
    def test_import_and_reload_return_the_same_module(self, tessu):
        cls = tessu.TessuAutocomplete
        assert importlib.import_module(MODULE_NAME) is tessu
        assert importlib.reload(tessu) is tessu
        assert importlib.util.module_from_spec(tessu.__spec__) is tessu
        assert tessu.TessuAutocomplete is cls and sys.modules[MODULE_NAME] is tessu

    def test_exec_again_on_same_module_changes_nothing(self, tessu):
        before = dict(vars(tessu))
        tessu.__spec__.loader.exec_module(tessu)
        after = vars(tessu)
        assert list(after) == list(before)
        assert all(after[k] is v for k, v in before.items())

    def test_exec_on_another_module_is_refused(self, tessu):
        api = python_api()
        api.PyModule_GetDef.restype, api.PyModule_GetDef.argtypes = ctypes.c_void_p, [
            ctypes.py_object]
        api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
        definition = api.PyModule_GetDef(tessu)
        other = types.ModuleType("tessu_autocomplete")
        with pytest.raises(RuntimeError) as info:
            api.PyModule_ExecDef(other, definition)
        assert str(info.value) == ("Module 'tessu_autocomplete' has already been imported. "
                                   "Re-initialisation is not supported.")
        assert vars(other).keys() == {"__name__", "__doc__", "__package__", "__loader__",
                                      "__spec__"}
        assert sys.modules[MODULE_NAME] is tessu

    def test_create_step_copies_import_attributes(self, installed_so):
        # A first creation in a fresh process; later ones would return the existing module.
        script = textwrap.dedent(f"""
            import _imp, json
            class Found:
                name, origin = "{MODULE_NAME}", {str(installed_so)!r}
                def __init__(self, **attrs):
                    vars(self).update(attrs)
            # origin is left out: the loader itself reads it before the create step runs.
            for attr in ("loader", "parent", "submodule_search_locations"):
                Broken = type("Broken", (Found,), {{attr: property(lambda self: 1 / 0)}})
                try:
                    _imp.create_dynamic(Broken(loader="L"))
                except ZeroDivisionError:
                    print("refused", attr)
            for found in (Found(loader="L", parent="P", submodule_search_locations=["S"]),
                          Found(submodule_search_locations=None)):
                m = _imp.create_dynamic(found)
                print(json.dumps({{k: v for k, v in vars(m).items() if k != "__doc__"}}))
        """)
        *refused, full, bare = run_python("-c", script)
        common = {"__name__": MODULE_NAME, "__spec__": None, "__file__": str(installed_so)}
        assert refused == ["refused loader", "refused parent",
                           "refused submodule_search_locations"]
        assert json.loads(full) == {**common, "__package__": "P", "__loader__": "L",
                                    "__path__": ["S"]}
        assert json.loads(bare) == {**common, "__package__": None, "__loader__": None}

    @pytest.mark.parametrize("held", ["nothing", "a stand-in"])
    def test_exec_registers_the_module_unless_the_name_is_held(self, held):
        # Loading by hand leaves sys.modules to the module itself; a name already held,
        # however, belongs to whoever put it there.
        script = textwrap.dedent(f"""
            import importlib.util, sys
            spec = importlib.util.find_spec("{MODULE_NAME}")
            module = importlib.util.module_from_spec(spec)
            stand_in = object()
            if {held!r} == "a stand-in":
                sys.modules[spec.name] = stand_in
            spec.loader.exec_module(module)
            print({{module: "module", stand_in: "stand-in"}}.get(sys.modules.get(spec.name)),
                  hasattr(module, "TessuAutocomplete"))
        """)
        expected = "stand-in" if held == "a stand-in" else "module"
        assert run_python("-c", script) == [f"{expected} True"]

    def test_second_interpreter_is_refused(self):
        pytest.importorskip("_interpreters")
        script = textwrap.dedent(f"""
            import _interpreters, sys
            import {MODULE_NAME} as main_module
            sub = _interpreters.create("legacy")
            _interpreters.run_string(sub, '''
            try:
                import {MODULE_NAME}
            except ImportError as e:
                print("refused:", e, flush=True)
            else:
                print("imported", flush=True)
            ''')
            _interpreters.destroy(sub)
            print("main:", sys.modules["{MODULE_NAME}"] is main_module, flush=True)
        """)
        assert run_python("-c", script) == [
            "refused: Interpreter change detected - this module can only be loaded into one "
            "interpreter per process.",
            "main: True",
        ]


# Only an AttributeError means "not there"; any other failure of the read is the host's own.
REFUSE_CONTROLLER = textwrap.dedent("""
    import zarvel.material.controller as c
    del c.Controller
    def refuse(name):
        raise (LookupError if name == "Controller" else AttributeError)(name)
    c.__getattr__ = refuse
""")


class TestHostFailures:
    # The class statement fails after every import has bound its names.
    @pytest.mark.parametrize("prelude, fix, error, line", [
        ("", "", ["ImportError", "cannot import name Controller"], 9),
        ("import qtpy.QtCore\nsignal, qtpy.QtCore.Signal = qtpy.QtCore.Signal, None",
         "qtpy.QtCore.Signal = signal", ["TypeError", "'NoneType' object is not callable"], 14),
    ])
    def test_missing_name_fails_at_its_statement_and_a_retry_can_succeed(
            self, fake_host, prelude, fix, error, line):
        tree = fake_host(**({"zarvel/material/controller.py": "OTHER = 1\n"} if line == 9 else {}))
        report = run_import(tree, prelude, epilogue=fix + "\n" + textwrap.dedent(f"""
            import zarvel.material.controller as c
            c.Controller = dict
            import {MODULE_NAME} as again
            report["retry"] = [list(vars(again)), again.Controller is dict,
                               again.TessuAutocomplete.set_value.__defaults__]
        """))
        assert report["error"] == error
        assert report["entries"][-1] == [SOURCE_PATH, line, INIT]
        assert len(own_entries(report)) == 1
        names, rebound, defaults = report["retry"]
        assert names[names.index("__builtins__"):] == NAMESPACE
        assert rebound and defaults == [None]

    def test_missing_name_falls_back_to_registered_submodule(self, fake_host):
        tree = fake_host(**{"zarvel/material/controller.py": "OTHER = 1\n"})
        prelude = ("import types\n"
                   "stand_in = types.ModuleType('zarvel.material.controller.Controller')\n"
                   "sys.modules[stand_in.__name__] = stand_in\n")
        report = run_import(tree, prelude, "report['bound'] = mod.Controller is stand_in")
        assert "error" not in report, report
        assert report["bound"] is True

    NOT_CALLABLE = "'NoneType' object is not callable"

    @pytest.mark.parametrize("prelude, kind, message, line", [
        # The launcher keeps a print of its own for its report.
        ("import builtins\nprint = builtins.print\ndel builtins.print", "NameError",
         "name 'print' is not defined", 1),
        *((f"sys.modules[{blocked!r}] = None", "ModuleNotFoundError",
           f"import of {blocked} halted; None in sys.modules", line) for blocked, line in [
            ("typing", 1), ("qtpy.QtCore", 2), ("qtpy.QtWidgets", 3), ("zarvel.material.styles", 5),
            ("zarvel.hooks", 7), ("zarvel.hooks.use_state", 8),
            ("zarvel.material.controller", 9), ("zarvel.material.textfield.textfield", 10),
            ("zarvel.material.auto_complete.complete", 11)]),
        ("del qtpy.QtWidgets.QFrame", "ImportError", "cannot import name QFrame", 3),
        # Only an AttributeError means "not there"; any other failure of the read is the
        # host's own and passes through.
        (REFUSE_CONTROLLER, "LookupError", "Controller", 9),
        ("qtpy.QtWidgets.QFrame = 42", "TypeError", None, 13),  # int() as the metaclass
        ("qtpy.QtCore.Signal = None", "TypeError", NOT_CALLABLE, 14),
        ("qtpy.QtCore.Property = lambda t: None", "TypeError", NOT_CALLABLE, 121),
        ("qtpy.QtCore.Property = lambda t: (lambda f: 7)", "AttributeError",
         "'int' object has no attribute 'setter'", 125),
        ("qtpy.QtCore.Slot = lambda t: None", "TypeError", NOT_CALLABLE, 131),
    ])
    def test_failure_passes_through_with_the_line_of_its_statement(self, fake_host, prelude,
                                                                   kind, message, line):
        report = run_import(fake_host(), "import qtpy.QtCore, qtpy.QtWidgets\n" + prelude)
        assert report.get("error", [None])[0] == kind, report
        assert message is None or report["error"][1] == message
        assert own_entries(report) == [[SOURCE_PATH, line, INIT]]
        # Nothing follows that entry but the host's own frame, where the host raised.
        assert report["entries"][-1][0] == SOURCE_PATH or report["entries"][-1][2] == "refuse"

    def test_non_type_base_is_resolved_through_mro_entries(self, fake_host):
        prelude = textwrap.dedent("""
            import qtpy.QtWidgets
            real = qtpy.QtWidgets.QFrame
            class Alias:
                def __mro_entries__(self, bases):
                    return (real,)
            alias = qtpy.QtWidgets.QFrame = Alias()
        """)
        report = run_import(fake_host(), prelude, textwrap.dedent("""
            cls = mod.TessuAutocomplete
            report["resolved"] = [cls.__mro__[1] is real,
                                  cls.__dict__.get("__orig_bases__") == (alias,)]
        """))
        assert report["resolved"] == [True, True]


# Bases that make the class statement take its rarer turns. Each defines `stand_in`, which
# becomes the QFrame it derives from; the interpreter's own class statement on the same base
# says how it must end.
EXOTIC_BASES = {
    "namespace-not-a-dict": """
        order, reads = [], []
        class Recording(dict):
            def __setitem__(self, key, value):
                order.append(key)
                super().__setitem__(key, value)
            def __getitem__(self, key):
                reads.append(key)
                return super().__getitem__(key)
        class Meta(type):
            @classmethod
            def __prepare__(mcs, name, bases):
                return Recording()
        stand_in = Meta("Base", (), {})
    """,
    "namespace-not-a-mapping": """
        class Meta(type):
            @classmethod
            def __prepare__(mcs, name, bases):
                return 42
        stand_in = Meta("Base", (), {})
    """,
    "entries-not-a-tuple": """
        class Alias:
            def __mro_entries__(self, bases):
                return [object]
        stand_in = Alias()
    """,
    "entries-lookup-fails": """
        def refuse(self, name):
            raise LookupError(name)
        class Alias:
            __getattr__ = refuse
        stand_in = Alias()
    """,
    "entries-metaclass-derived": """
        class Meta(type): pass
        class Derived(Meta): pass
        class Alias:
            def __mro_entries__(self, bases):
                return (Meta("A", (), {}), Derived("B", (), {}))
        stand_in = Alias()
    """,
    "entries-metaclass-derived-prepares": """
        order = []
        class Meta(type): pass
        class Derived(Meta):
            @classmethod
            def __prepare__(mcs, name, bases):
                order.append(mcs.__name__)
                return {}
        class Alias:
            def __mro_entries__(self, bases):
                return (Meta("A", (), {}), Derived("B", (), {}))
        stand_in = Alias()
    """,
    "entries-metaclass-conflict": """
        class Alias:
            def __mro_entries__(self, bases):
                return (type("MetaA", (type,), {})("A", (), {}),
                        type("MetaB", (type,), {})("B", (), {}))
        stand_in = Alias()
    """,
    "orig-bases-refused": """
        def refuse(self, key, value):
            if key == "__orig_bases__":
                raise LookupError(key)
            dict.__setitem__(self, key, value)
        class Meta(type):
            @classmethod
            def __prepare__(mcs, name, bases):
                return type("Refusing", (dict,), {"__setitem__": refuse})()
        base = Meta("Base", (), {})
        class Alias:
            def __mro_entries__(self, bases):
                return (base,)
        stand_in = Alias()
    """,
}


@pytest.mark.parametrize("case", EXOTIC_BASES)
def test_class_statement_on_exotic_bases_ends_as_the_interpreters_does(fake_host, case):
    source = textwrap.dedent(EXOTIC_BASES[case])
    own = {}
    exec(source, own)
    try:
        exec("class TessuAutocomplete(stand_in): pass", own)
        expected = None
    except Exception as exc:
        expected = [type(exc).__name__, str(exc)]
    prelude = "import qtpy.QtWidgets\n" + source + "qtpy.QtWidgets.QFrame = stand_in\n"
    report = run_import(fake_host(), prelude, textwrap.dedent("""
        if "error" not in report:
            cls = mod.TessuAutocomplete
            report["metaclass"] = type(cls).__name__
            report["bases"] = [b.__name__ for b in cls.__bases__]
            report["recorded"] = [globals().get("order"), globals().get("reads")]
    """))
    assert report.get("error") == expected, report
    if expected is not None:
        assert own_entries(report) == [[SOURCE_PATH, 13, INIT]]
        assert report["entries"][-1][0] == SOURCE_PATH or report["entries"][-1][2] == "refuse"
        return
    assert [report["metaclass"], report["bases"]] == [type(own["TessuAutocomplete"]).__name__,
                                                      [b.__name__ for b in
                                                       own["TessuAutocomplete"].__bases__]]
    if case == "entries-metaclass-derived-prepares":
        # The most derived metaclass prepares the namespace, not the first base's.
        assert report["recorded"][0] == own["order"] == ["Derived"]
    if case == "namespace-not-a-dict":
        # Every member went through the mapping, and the setter was found there.
        members = ["valueChanged", "__init__", "set_value", "stateSignal", "stateSignal", "state"]
        order, reads = report["recorded"]
        assert order[:2] == ["__module__", "__qualname__"] and order[-6:] == members
        assert reads == ["stateSignal"]


# Every dict watcher taken before the import: the module then has none on its namespace, and
# a global it read once must still be read afresh after the namespace changes.
WITHOUT_WATCHERS = f"""
import _testcapi
try:
    while True:
        _testcapi.add_dict_watcher(0)
except RuntimeError:
    pass
from qtpy.QtWidgets import QApplication
app = QApplication([])
import {MODULE_NAME} as m
from doubles import Host
for name, value in Host().names().items():
    setattr(m, name, value)
names = vars(m)
seen = []
# Several names: each is remembered in a slot by its hash, which another name may take over.
for name in ("useState", "Controller", "useTheme", "Autocomplete", "QVBoxLayout", "QLabel"):
    m.TessuAutocomplete("before")
    original = names[name]
    def refuse(*args, **kwargs):
        raise LookupError(name)
    setattr(m, name, refuse)
    try:
        m.TessuAutocomplete("after")
        seen.append("stale " + name)
    except LookupError as exc:
        seen.append("rebound" if exc.args == (name,) else repr(exc))
    setattr(m, name, original)
print(",".join(seen))
"""


def test_globals_are_read_afresh_when_no_dict_watcher_is_left():
    pytest.importorskip("_testcapi")
    tests = str(Path(__file__).parent)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [
        os.environ.get("PYTHONPATH"), tests])))
    assert run_python("-c", WITHOUT_WATCHERS, env=env)[-1] == ",".join(["rebound"] * 6)


@pytest.fixture(scope="session")
def built_for_312(tmp_path_factory):
    """A build that claims to be made for 3.12, to provoke the version warning."""
    search = os.pathsep.join([str(Path(sys.executable).parent), os.environ.get("PATH", "")])
    cmake, ninja = shutil.which("cmake", path=search), shutil.which("ninja", path=search)
    source = Path(__file__).resolve().parents[1]
    if not (cmake and ninja and (source / "CMakeLists.txt").exists()):
        pytest.skip("cmake, ninja or the build sources are not available")
    out = tmp_path_factory.mktemp("built_for_312")
    for cmd in ([cmake, "-S", source, "-B", out, "-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}",
                 f"-DPython_EXECUTABLE={sys.executable}", "-DTESSU_BUILT_FOR_MINOR=12"],
                [ninja, "-C", out]):
        proc = subprocess.run([str(c) for c in cmd], capture_output=True, text=True)
        assert proc.returncode == 0, proc.stdout + proc.stderr
    (so,) = out.glob("tessu_autocomplete*.so")
    return so


VERSION_MESSAGE = (f"compile time Python version 3.12 of module '{MODULE_NAME}' does not match "
                   f"runtime version {sys.version_info[0]}.{sys.version_info[1]}")


@pytest.mark.variant
# The first of them compiles the module in its set-up, which has no limit of its own.
@pytest.mark.timeout(1800)
@pytest.mark.parametrize("flags", [(), ("-W", "error")])
def test_version_mismatch_warns_or_fails(fake_host, built_for_312, flags):
    retry = textwrap.dedent(f"""
        if "error" in report:
            warnings.simplefilter("ignore")
            import {MODULE_NAME} as again
            report["retry"] = list(vars(again))
    """)
    report = run_import(fake_host(so=built_for_312), epilogue=retry, flags=flags)
    if flags:
        assert report["error"] == ["RuntimeWarning", VERSION_MESSAGE]
        assert own_entries(report) == []
        # The refused attempt left nothing behind that a later one would mistake for done.
        assert report["retry"][report["retry"].index("__builtins__"):] == NAMESPACE
    else:
        assert "error" not in report, report
        assert report["warnings"] == [["RuntimeWarning", VERSION_MESSAGE]]
        assert report["names"][report["names"].index("__builtins__"):] == NAMESPACE


@pytest.mark.skipif(platform.libc_ver()[0] != "glibc" or not shutil.which("objdump"),
                    reason="needs a glibc build and objdump")
def test_module_asks_nothing_of_glibc_newer_than_2_17(installed_so):
    # Built on a current glibc, the module must still load where the oldest wheels do: a
    # symbol bound to a newer default version would shut those machines out.
    dynamic = subprocess.run(["objdump", "-T", str(installed_so)], capture_output=True,
                             text=True, check=True).stdout
    minors = {int(v) for v in re.findall(r"\bGLIBC_2\.(\d+)", dynamic)}
    assert minors and max(minors) <= 17, sorted(minors)
