"""The list of modules that freezers are told the field imports (tessu_autocomplete_freeze)
against what the field really imports, and the shipped Nuitka file against that list."""

import json
import os
import re
import subprocess
import sys
from pathlib import Path

from tessu_autocomplete_freeze import IMPORTS

from conftest import MODULE_NAME

# Run in a fresh interpreter: prints the modules whose loading the field's own code started,
# from the interpreter's "import" audit events, and the modules loaded before it ran. An event
# fires only for a module not yet loaded, so the host is replaced by empty modules: the
# stand-in's packages import their own submodules (zarvel.hooks loads zarvel.hooks.use_state),
# which would hide the field's request for one. Nothing is imported before the field that the
# interpreter has not loaded anyway.
MEASURE = f"""
import sys

FIELD = {MODULE_NAME!r}
PARENTS = {{"zarvel", "zarvel.material", "zarvel.material.hook_form"}}
ModuleSpec = type(sys.__spec__)


class EmptyHost:
    def find_spec(self, name, path=None, target=None):
        if name.startswith("zarvel.") and name != FIELD and name not in PARENTS:
            return ModuleSpec(name, self, is_package=True)
        return None

    def create_module(self, spec):
        return None

    def exec_module(self, module):
        module.__getattr__ = lambda attr: type(attr, (), {{}})


def started_by_field(frame):
    # The field's code has no frame: the import machinery's own frames lead from the event
    # straight to the loader running the field, where a module's import statement has a frame
    # of that module's code in between.
    while frame is not None and frame.f_code.co_filename.startswith("<frozen importlib."):
        if frame.f_code.co_name == "exec_module":
            module = frame.f_locals.get("module")
            if getattr(module, "__name__", None) == FIELD:
                return True
        frame = frame.f_back
    return False


made = []


def audit(event, args):
    if event == "import" and started_by_field(sys._getframe(1)):
        made.append(args[0])


sys.meta_path.insert(0, EmptyHost())
import zarvel.material.hook_form

before = sorted(sys.modules)
sys.addaudithook(audit)
import {MODULE_NAME}
import json

print(json.dumps({{"before": before, "made": made}}))
"""


def with_parents(names):
    return {
        ".".join(parts[:i])
        for parts in (n.split(".") for n in names)
        for i in range(1, len(parts) + 1)
    }


def test_the_list_is_what_the_field_imports(tmp_path):
    proc = subprocess.run(
        [sys.executable, "-P", "-c", MEASURE],
        cwd=tmp_path,
        env=dict(os.environ, QT_QPA_PLATFORM="offscreen"),
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    seen = json.loads(proc.stdout.splitlines()[-1])
    before = set(seen["before"])
    # A module loaded before the field is invisible to the events: the measure would miss it.
    assert before.isdisjoint(IMPORTS)
    assert set(seen["made"]) == with_parents(IMPORTS) - before


def nuitka_entries(text):
    """The Nuitka file's entries as {module-name: implicit imports}: the block-style subset
    that the shipped file is written in, and nothing else, read line by line."""
    entries, module = {}, None
    for line in text.splitlines():
        if not line.strip() or line.startswith("#") or line == "---":
            continue
        if m := re.fullmatch(r"- module-name: '([\w.]+)'( # checksum: [0-9a-f]{8})?", line):
            module = m[1]
            entries[module] = []
        elif line in ("  implicit-imports:", "    - depends:"):
            assert module is not None, line
        elif m := re.fullmatch(r"        - '([\w.]+)'", line):
            entries[module].append(m[1])
        else:
            raise AssertionError(f"unexpected line in the Nuitka file: {line!r}")
    return entries


def test_the_nuitka_file_declares_the_list(tmp_path):
    # Found as users find it, through the package's command line.
    proc = subprocess.run(
        [sys.executable, "-P", "-m", "tessu_autocomplete_freeze"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert proc.returncode == 0, proc.stderr
    config = Path(proc.stdout.strip())
    assert config.name.endswith(".nuitka-package.config.yml")
    assert nuitka_entries(config.read_text()) == {MODULE_NAME: list(IMPORTS)}
