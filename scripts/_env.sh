# Sourced by the other scripts: finds the interpreter, creates or reuses its
# virtual environment, installs what the project needs from PyPI and builds
# the extension (incrementally) into it.
#
#   PYTHON   interpreter to use: a name such as python3.12, a version such as
#            3.12, or a path (default: python3.8)
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

source "$ROOT/scripts/_python.sh"

# The newer versions (and the debug build, "3.14d") come from a Debian
# chroot when no interpreter here has them: the calling script starts again
# inside it (scripts/chroot), with the same arguments.
PY=$(locate_python)
[ "$PY" != chroot ] || exec "$ROOT/scripts/chroot" run "$0" "$@"
# The ABI flags ("d" for a debug build) keep apart the venvs of builds that
# share a version number.
PYVER=$("$PY" -c 'import sys; print("%d.%d%s" % (sys.version_info[:2] + (sys.abiflags,)))')
VENV="$ROOT/.venv-$PYVER"
VPY="$VENV/bin/python"

if [ ! -x "$VPY" ]; then
    echo ">> creating $VENV with $PY" >&2
    "$PY" -m venv "$VENV"
fi

# pip, without the notes about local package folders that this machine lacks;
# pip's own exit status is kept.
pip_quiet() {
    "$VPY" -m pip -q --disable-pip-version-check "$@" 2> >(grep -v '^WARNING: Location' >&2)
}

stamp="$VENV/.requirements.sha"
want_sha=$(cat "$ROOT/requirements-dev.txt" "$ROOT/pyproject.toml" | sha1sum | cut -d' ' -f1)
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$want_sha" ]; then
    echo ">> installing requirements into $VENV" >&2
    pip_quiet install --upgrade pip
    pip_quiet install -r "$ROOT/requirements-dev.txt"
    echo "$want_sha" > "$stamp"
fi

# Editable install: Python files are used from the work tree, the extension
# is built (incrementally, in build/<tag>) and installed into the venv, with
# its symbols kept for profiling (release wheels are stripped).
echo ">> building the extension for Python $PYVER" >&2
pip_quiet install --no-build-isolation --no-deps -C install.strip=false -e "$ROOT"
