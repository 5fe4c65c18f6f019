#!/usr/bin/env bash
# Installs what is missing, builds, and starts Ravelin's window with the right to capture.
# Arguments are passed to ravelin (for example --read FILE, or --print packets for no window).
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target ravelin

binary=build/default/src/ravelin
if [ "$(id -u)" -ne 0 ]; then
    # Capture needs CAP_NET_RAW (and CAP_NET_ADMIN on some devices); grant them to the
    # binary rather than running everything as root.
    sudo setcap cap_net_raw,cap_net_admin,cap_bpf,cap_perfmon+eip "$binary"
fi
exec "$binary" "$@"
