# Sourced by the packaging scripts: creates or reuses .venv-tools (on
# $ZOK_TOOLS_PYTHON, default 3.12) with the packaging tools of
# requirements-tools.txt, and puts its bin folder first on PATH.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$ROOT/scripts/_python.sh"

TOOLS="$ROOT/.venv-tools"
if [ ! -x "$TOOLS/bin/python" ]; then
    tpy=$(find_python "${ZOK_TOOLS_PYTHON:-3.12}")
    echo ">> creating $TOOLS with $tpy" >&2
    "$tpy" -m venv "$TOOLS"
fi
stamp="$TOOLS/.requirements.sha"
want_sha=$(sha1sum < "$ROOT/requirements-tools.txt" | cut -d' ' -f1)
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$want_sha" ]; then
    echo ">> installing packaging tools into $TOOLS" >&2
    # Without pip's notes about local package folders that this machine lacks.
    "$TOOLS/bin/python" -m pip -q --disable-pip-version-check install --upgrade pip 2> >(grep -v '^WARNING: Location' >&2)
    "$TOOLS/bin/python" -m pip -q --disable-pip-version-check install -r "$ROOT/requirements-tools.txt" \
        2> >(grep -v '^WARNING: Location' >&2)
    echo "$want_sha" > "$stamp"
fi
export PATH="$TOOLS/bin:$PATH"
