# Sourced by the scripts: find_python VERSION prints the path of a working
# interpreter for a name such as python3.12, a version such as 3.12, or a path
# (default: $PYTHON, else python3.8), found on PATH or under pyenv.

find_python() {
    local want=${1:-${PYTHON:-python3.8}} ver cand
    ver=${want#python}
    for cand in "$want" "python$ver"; do
        if command -v "$cand" >/dev/null 2>&1 && "$cand" -c 'import sys' >/dev/null 2>&1; then
            command -v "$cand"; return 0
        fi
    done
    local root
    root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
    for cand in "$root"/versions/"$ver".*/bin/python"$ver" "$root"/versions/"$ver"/bin/python"$ver"; do
        if [ -x "$cand" ]; then echo "$cand"; return 0; fi
    done
    echo "no interpreter found for '$want'" >&2
    return 1
}

# locate_python VERSION: the path that find_python prints or, when no
# interpreter here has that version but scripts/chroot provides it (3.14,
# 3.15, and 3.14d, the debug build) and this is not already inside it, the
# word "chroot". Fails, saying which one is missing, when neither has it.
locate_python() {
    local want=${1:-${PYTHON:-python3.8}}
    find_python "$want" 2>/dev/null && return 0
    if [ -z "${ZOK_IN_CHROOT:-}" ]; then
        case "${want#python}" in 3.14|3.15|3.14d) echo chroot; return 0 ;; esac
    fi
    find_python "$want" >/dev/null
}
