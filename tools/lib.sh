# Sourced by the tools that build or fetch something once.
#
# What they build once (interpreters, Debian roots, toolchains, zig's caches)
# goes to the cache folder, outside the clone so that a fresh clone on the same
# machine finds it: $TRELK_CACHE, else ${XDG_CACHE_HOME:-~/.cache}/trelk.
# Each entry is used only once complete, and made anew otherwise.
cache=${TRELK_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/trelk}
mkdir -p "$cache"

# Runs a command, showing what it printed only if it fails.
quietly() {
    local log status=0
    log=$(mktemp)
    "$@" >"$log" 2>&1 || status=$?
    [ "$status" -eq 0 ] || cat "$log" >&2
    rm -f "$log"
    return "$status"
}

# Exits unless each TOOL:PACKAGE's tool is on the path.
needs() {
    local tool
    for tool; do
        command -v "${tool%%:*}" >/dev/null ||
            { echo "${tool%%:*} is missing: bash tools/setup.sh installs it (the package ${tool#*:})" >&2; exit 2; }
    done
}

# The size of a file in KiB, rounded.
kib() { echo $((($(stat -c %s "$1") + 512) / 1024)); }
