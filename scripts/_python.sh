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

# chroot_has VERSION: whether scripts/chroot provides that interpreter
# (python3.14, 3.14, 3.15, 3.14d: the debug build).
chroot_has() {
    case "${1#python}" in 3.14|3.15|3.14d) return 0 ;; *) return 1 ;; esac
}
