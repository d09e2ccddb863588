# shellcheck shell=bash
# Shared by sanitize.sh and coverage.sh, after env.sh: builds a variant of the extension and
# lays out a copy of the installed package with that build in place of the installed module,
# so that everything else (the host, the stub) stays exactly as installed.
#
#   variant_build BUILD_DIR [cmake -D args...]   sets VARIANT_SO
#   variant_tree WORK_DIR                        makes WORK_DIR/zarvel; put WORK_DIR first on PYTHONPATH
#   variant_check WORK_DIR [env...]              fails unless the module imports from WORK_DIR

variant_build() {
    local build=$1
    shift
    cmake -S "$REPO_ROOT" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
        -DPython_EXECUTABLE="$VENV_PY" -DTESSU_WERROR=ON "$@" >/dev/null || return 1
    cmake --build "$build" || return 1
    VARIANT_SO=$(find "$build" -maxdepth 1 -name 'tessu_autocomplete*.so' -print -quit)
    if [[ -z "$VARIANT_SO" ]]; then
        printf 'variant.sh: no tessu_autocomplete*.so in %s\n' "$build" >&2
        return 1
    fi
}

variant_tree() {
    local work=$1 installed target
    installed=$(env -u PYTHONPATH "$VENV_PY" -P -c \
        'import zarvel.material.hook_form.tessu_autocomplete as m, os; print(os.path.dirname(m.__file__))') ||
        return 1
    # The package root, two levels above the module's directory.
    installed=$(cd "$installed/../.." && pwd)
    cp -r "$installed" "$work/zarvel" || return 1
    target=$(cd "$work/zarvel/material/hook_form" && ls tessu_autocomplete*.so) || return 1
    cp "$VARIANT_SO" "$work/zarvel/material/hook_form/$target"
}

# A run against the installed module would prove nothing.
variant_check() {
    local work=$1
    shift
    env -u PYTHONPATH PYTHONPATH="$work" "$@" "$VENV_PY" -P -c "
import sys, zarvel.material.hook_form.tessu_autocomplete as m
sys.exit(0 if m.__file__.startswith('$work/') else 'imported ' + m.__file__)"
}
