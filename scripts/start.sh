#!/usr/bin/env bash
# Installs what is missing, builds, and starts Ravelin's window. Only the capture helper
# (ravelin-capture) gets the rights to capture, and only the members of the group ravelin may
# run it; the window itself holds none.
# Arguments are passed to ravelin (for example --read FILE, or --print packets for no window).
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh
cmake --preset default >/dev/null
# The window's target builds the helper beside it.
cmake --build --preset default --target ravelin

binary=build/default/src/ravelin
helper=build/default/src/ravelin-capture
group=ravelin
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo)
fi

if ! getent group "$group" >/dev/null; then
    "${sudo_cmd[@]}" groupadd --system "$group"
fi
# As the package installs it: root's, the group's to run, nobody else's.
"${sudo_cmd[@]}" chown "root:$group" "$helper"
"${sudo_cmd[@]}" chmod 0750 "$helper"
"${sudo_cmd[@]}" setcap cap_net_raw,cap_net_admin,cap_bpf,cap_perfmon+ep "$helper"
# An earlier start.sh gave the window these rights; it must not keep them.
if [ -n "$(getcap "$binary" 2>/dev/null)" ]; then
    "${sudo_cmd[@]}" setcap -r "$binary"
fi

if [ "$(id -u)" -ne 0 ]; then
    user=$(id -un)
    if ! id -nG "$user" | tr ' ' '\n' | grep -qx "$group"; then
        echo "Live capture is for the members of the group $group. Join it with" >&2
        echo "    sudo usermod -aG $group $user" >&2
        echo "then log in again. Until then Ravelin replays capture files only." >&2
    elif ! id -nG | tr ' ' '\n' | grep -qx "$group"; then
        # A member since this login: sg runs Ravelin with the group until the next login.
        exec sg "$group" -c "$(printf '%q ' "$binary" "$@")"
    fi
fi
exec "$binary" "$@"
