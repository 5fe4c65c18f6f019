#!/usr/bin/env bash
# Installs the Debian packages Ravelin needs to build, run and test, and only
# those that are missing, so a second run costs a dpkg query and nothing else.
# Sourcing it only defines the functions (tests/scripts/install_deps_test.sh does).
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build pkg-config
  # run (qt6-wayland: Wayland sessions, Debian GNOME's default, need Qt's Wayland platform)
  qt6-base-dev qt6-wayland libpcap-dev libssl-dev fonts-wqy-microhei libcap2-bin
  # the capture helper's system-call filter
  libseccomp-dev
  # kernel socket events: the eBPF program's compiler, skeleton generator and loader
  clang bpftool libbpf-dev libelf-dev zlib1g-dev
  # test and benchmark
  libgtest-dev libgmock-dev libbenchmark-dev python3 curl openssl tshark tcpdump ethtool
  xvfb xauth iproute2 iputils-ping clang-format clang-tidy
  # the window's first size under a real Wayland compositor (headless)
  weston
  # the Debian package (scripts/package.sh: dpkg-shlibdeps) and its check
  dpkg-dev lintian desktop-file-utils man-db file
)
# Only for the benchmarks under bench/ (install-deps.sh --bench): a browser for
# bench/browser_load.py, GNU time for bench/replay.sh.
bench_packages=(chromium time)

# The packages among the arguments that dpkg does not have installed, one a line.
missing_packages() {
  local package
  for package in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
      echo "$package"
    fi
  done
}

# Since LLVM 14 the sanitizer runtimes are a package of their own, named after clang's major
# version: libclang-rt-14-dev on Debian 12, libclang-rt-19-dev on Debian 13.
sanitizer_runtime_package() {
  echo "libclang-rt-$1-dev"
}

# The major version in a list of clang's dependencies on standard input, as dpkg-query prints
# it ("clang-14 (>= 14~)") or apt-cache depends does ("  Depends: clang-19").
clang_major_from_depends() {
  grep -oE '(^|[ ,:|])clang-[0-9]+' | sed -n '1s/.*-//p'
}

# The clang that the Debian release named in an os-release file makes the default, for when
# apt knows no clang package yet.
clang_major_for_release() {
  local version
  # shellcheck disable=SC1090
  version=$(. "$1" && echo "${VERSION_ID:-}") || return 1
  case $version in
    12) echo 14 ;;
    13) echo 19 ;;
    *) return 1 ;;
  esac
}

# The sanitizer runtime that goes with the clang installed or about to be: the installed clang
# costs a dpkg query; otherwise apt's clang package (after apt-get update), then the release,
# then the metapackage that follows the default clang.
sanitizer_runtime_to_install() {
  local major
  if major=$(dpkg-query -W -f='${Status} ${Depends}' clang 2>/dev/null |
      grep '^install ok installed' | clang_major_from_depends) ||
    major=$(apt-cache depends clang 2>/dev/null | clang_major_from_depends) ||
    major=$(clang_major_for_release /etc/os-release); then
    sanitizer_runtime_package "$major"
  else
    echo libclang-rt-dev
  fi
}

main() {
  local wanted=("${packages[@]}")
  if [ "${1:-}" = --bench ]; then
    wanted+=("${bench_packages[@]}")
  fi
  local missing=()
  mapfile -t missing < <(missing_packages "${wanted[@]}")
  # Without clang the runtime's version is not known before apt-get update; clang is then
  # missing anyway, so the runtime is looked up below, next to it.
  if [[ " ${missing[*]} " != *" clang "* ]]; then
    mapfile -t -O ${#missing[@]} missing < <(missing_packages "$(sanitizer_runtime_to_install)")
  fi

  if [ ${#missing[@]} -eq 0 ]; then
    exit 0
  fi

  local sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo)
  fi
  # tshark asks whether non-root users may capture; answer with the default.
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -q
  if [[ " ${missing[*]} " == *" clang "* ]]; then
    missing+=("$(sanitizer_runtime_to_install)")
  fi
  echo "Installing missing packages: ${missing[*]}" >&2
  "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  main "$@"
fi
