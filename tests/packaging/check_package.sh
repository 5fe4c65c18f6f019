#!/usr/bin/env bash
# Checks a Debian package that scripts/package.sh made: its files, fields, desktop entry, manual
# page and lintian's verdict; then, as root, installs it for real, checks what postinst did
# (the group, the helper's owner, mode and capabilities), runs the program, purges it and checks
# that the group and the override went with it. A group ravelin that was there before is put
# back as it was.
#
#   tests/packaging/check_package.sh DEB
set -uo pipefail

if [ $# -ne 1 ] || [ ! -f "$1" ]; then
    echo "usage: $0 DEB (one package file)" >&2
    exit 2
fi
deb=$(realpath "$1")
helper=/usr/libexec/ravelin/ravelin-capture
capabilities=(cap_net_raw cap_net_admin cap_bpf cap_perfmon)

# shellcheck source=tests/support/expect.sh
. "$(dirname "$0")/../support/expect.sh"

# Whether dpkg has any of the package on the system (installed, half-installed, or its
# configuration files left).
package_present() {
    local status
    status=$(dpkg-query -W -f='${Status}' ravelin 2>/dev/null)
    [ -n "$status" ] && [[ $status != *not-installed ]]
}

work=$(mktemp -d)
group_before=$(getent group ravelin)
cleanup() {
    if package_present; then
        dpkg --purge ravelin >/dev/null 2>&1
    fi
    # The group as it was: same id, same members; or none, whatever the package left.
    if [ -z "$group_before" ] && getent group ravelin >/dev/null; then
        groupdel ravelin
    elif [ -n "$group_before" ] && ! getent group ravelin >/dev/null; then
        local gid members
        gid=$(cut -d: -f3 <<<"$group_before")
        members=$(cut -d: -f4 <<<"$group_before")
        groupadd --gid "$gid" ravelin
        if [ -n "$members" ]; then
            gpasswd --members "$members" ravelin >/dev/null
        fi
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# --- The package file -------------------------------------------------------------------------

version=$(dpkg-deb -f "$deb" Version)
arch=$(dpkg-deb -f "$deb" Architecture)
expect "package name" ravelin "$(dpkg-deb -f "$deb" Package)"
expect "architecture" "$(dpkg --print-architecture)" "$arch"
expect "file name" "ravelin_${version}_$arch.deb" "$(basename "$deb")"
expect "section" net "$(dpkg-deb -f "$deb" Section)"
expect "priority" optional "$(dpkg-deb -f "$deb" Priority)"
expect_match "installed size" '^[1-9][0-9]*$' "$(dpkg-deb -f "$deb" Installed-Size)"
expect_match "maintainer" '^[^<]+ <[^@ ]+@[^> ]+\.[^> ]+>$' "$(dpkg-deb -f "$deb" Maintainer)"
description=$(dpkg-deb -f "$deb" Description)
expect_match "a synopsis" '^[a-z].{10,78}$' "$(head -n 1 <<<"$description")"
expect_match "a long description" '^ .{20,}' "$(sed -n 2p <<<"$description")"

depends=$(dpkg-deb -f "$deb" Depends)
expect_match "Depends names libpcap" '(^|, )libpcap[0-9.]+( |,|$)' "$depends"
expect_match "Depends names Qt's widgets" '(^|, )libqt6widgets6( |,|$)' "$depends"
expect_match "Depends names setcap's package" '(^|, )libcap2-bin( |,|$)' "$depends"
expect_match "Depends names libcrypto's package" '(^|, )libssl3( |,|$)' "$depends"

changelog=changelog.gz
if [[ $version == *-* ]]; then
    changelog=changelog.Debian.gz
fi
expected_files="./usr/bin/ravelin
./usr/lib/ravelin/ravelin-window.so
./usr/libexec/ravelin/ravelin-capture
./usr/share/applications/ravelin.desktop
./usr/share/doc/ravelin/$changelog
./usr/share/doc/ravelin/copyright
./usr/share/doc/ravelin/user-guide.md.gz
./usr/share/icons/hicolor/16x16/apps/ravelin.png
./usr/share/icons/hicolor/32x32/apps/ravelin.png
./usr/share/icons/hicolor/64x64/apps/ravelin.png
./usr/share/man/man1/ravelin.1.gz"
listing=$(dpkg-deb -c "$deb")
expect "the files" "$expected_files" "$(awk '$1 !~ /^d/ { print $6 }' <<<"$listing" | LC_ALL=C sort)"
expect "every entry is root's" "" "$(awk '$2 != "root/root"' <<<"$listing")"
expect "the programs are executable" 2 \
    "$(grep -cE '^-rwxr-xr-x .* \./usr/(bin/ravelin|libexec/ravelin/ravelin-capture)$' <<<"$listing")"
expect "maintainer scripts" "postinst postrm" \
    "$(dpkg-deb --ctrl-tarfile "$deb" | tar -t | sed -n 's|^\./post|post|p' | LC_ALL=C sort | xargs)"

tree=$work/tree
dpkg-deb -x "$deb" "$tree"
for program in usr/bin/ravelin usr/libexec/ravelin/ravelin-capture usr/lib/ravelin/ravelin-window.so; do
    sections=$(readelf -SW "$tree/$program" 2>&1)
    expect "$program is an ELF file" 1 "$(grep -c 'Section Headers:' <<<"$sections")"
    expect "$program has no symbol table, comments or notes" "" \
        "$(grep -oE ' \.(symtab|comment|note)( |$)' <<<"$sections")"
done
desktop=$tree/usr/share/applications/ravelin.desktop
expect "the desktop entry validates" "" "$(desktop-file-validate "$desktop" 2>&1)"
expect "the desktop entry starts ravelin" Exec=ravelin "$(grep '^Exec=' "$desktop")"
expect_match "the desktop entry names IPv6" '^Comment=.*IPv6' "$(grep '^Comment=' "$desktop")"
for size in 16 32 64; do
    expect_match "the ${size}x$size icon" ": PNG image data, $size x $size," \
        "$(file "$tree/usr/share/icons/hicolor/${size}x$size/apps/ravelin.png")"
done
man_page=$tree/usr/share/man/man1/ravelin.1.gz
man_text=$(MANWIDTH=80 LC_ALL=C.UTF-8 man --warnings -l "$man_page" 2>"$work/man-warnings")
expect "the manual page renders without warnings" "" "$(cat "$work/man-warnings")"
for section in NAME SYNOPSIS DESCRIPTION OPTIONS PERMISSIONS CONFIGURATION; do
    expect "the manual page's $section" 1 "$(grep -c "^$section\$" <<<"$man_text")"
done
expect_match "the manual page tells how to join" 'usermod -aG ravelin' "$man_text"
expect_match "the copyright file is machine-readable" \
    '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
    "$(head -n 1 "$tree/usr/share/doc/ravelin/copyright")"
expect_match "the user guide" '^# Ravelin user guide$' \
    "$(gzip -dc "$tree/usr/share/doc/ravelin/user-guide.md.gz" | head -n 1)"
expect "the changelog's version" "$version" \
    "$(gzip -dc "$tree/usr/share/doc/ravelin/$changelog" | dpkg-parsechangelog -l - -S Version)"

lintian_output=$(lintian --fail-on error "$deb" 2>&1)
expect "lintian finds no errors" 0 $?
expect "lintian's errors" "" "$(grep '^E: ' <<<"$lintian_output")"
if [ -n "$lintian_output" ]; then
    echo "lintian:"
    printf '  %s\n' "${lintian_output//$'\n'/$'\n'  }"
fi

# --- Installed for real -----------------------------------------------------------------------

install_check() {
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y -q --no-install-recommends "$deb" >"$work/install.log" 2>&1
    expect "apt-get installs the package" 0 $?
    expect "installed" "install ok installed" "$(dpkg-query -W -f='${Status}' ravelin 2>&1)"
    expect_match "postinst tells how to join" "sudo usermod -aG ravelin \\\$USER'?, then log in again" \
        "$(cat "$work/install.log")"

    local group gid
    group=$(getent group ravelin)
    gid=$(cut -d: -f3 <<<"$group")
    expect_match "the group ravelin" '^ravelin:' "$group"
    if [ -z "$group_before" ]; then
        expect_match "a system group" '^[1-9][0-9]{0,2}$' "$gid"
    fi
    expect "the helper's owner and mode" "root:ravelin 750" "$(stat -c '%U:%G %a' "$helper")"
    expect "the override" "root ravelin 750 $helper" "$(dpkg-statoverride --list "$helper")"
    check_capabilities "after the install"
    # setpriv: the access check of a member and of someone else, without a user of our own.
    setpriv --reuid=65534 --regid=65534 --groups="$gid" test -x "$helper"
    expect "a member may run the helper" 0 $?
    setpriv --reuid=65534 --regid=65534 --clear-groups test -x "$helper"
    expect "others may not run the helper" 1 $?
    # The installed program captures through its helper for a member, and tells anyone else
    # which group to join; neither needs a right of its own.
    setpriv --reuid=65534 --regid=65534 --groups="$gid" --inh-caps=-all env HOME=/nonexistent \
        TMPDIR=/tmp /usr/bin/ravelin --config /dev/null --print summary --bind 127.0.0.1 \
        --duration 1 >"$work/out" 2>"$work/err"
    expect "a member captures live" 0 $?
    expect_match "a member's capture has the kernel's counts" '^capture: received=[0-9]+ dropped=[0-9]+$' \
        "$(cat "$work/err")"
    setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all env HOME=/nonexistent \
        TMPDIR=/tmp /usr/bin/ravelin --config /dev/null --print summary --bind 127.0.0.1 \
        --duration 1 >"$work/out" 2>"$work/err"
    expect "someone else may not capture" 1 $?
    expect_match "someone else is told the group" 'members of the group ravelin' "$(cat "$work/err")"

    expect "man finds the page" /usr/share/man/man1/ravelin.1.gz "$(man -w ravelin 2>&1)"
    expect "the desktop entry is installed" "" \
        "$(desktop-file-validate /usr/share/applications/ravelin.desktop 2>&1)"
    local home=$work/home
    mkdir -p "$home"
    HOME=$home /usr/bin/ravelin --help >"$work/out" 2>"$work/err"
    expect "--help exits with 0" 0 $?
    expect_match "--help prints the usage" '^usage: ravelin ' "$(head -n 1 "$work/out")"
    HOME=$home /usr/bin/ravelin --no-such-option >"$work/out" 2>"$work/err"
    expect "a wrong option exits with 2" 2 $?
    expect_match "a wrong option prints the usage" '^usage: ravelin ' "$(sed -n 2p "$work/err")"
    HOME=$home /usr/bin/ravelin --print summary --read /nonexistent >"$work/out" 2>"$work/err"
    expect "a missing file exits with 1" 1 $?
    expect_match "a missing file is named" '/nonexistent: .*No such file or directory' \
        "$(cat "$work/err")"
    expect_match "a missing file's error code" '^Error code: [0-9]+$' "$(cat "$work/err")"
    expect "nothing is printed for a missing file" "" "$(cat "$work/out")"
    expect "no configuration file beside the program" no \
        "$([ -e /usr/bin/Ravelin.ini ] && echo yes || echo no)"

    # An upgrade unpacks a helper without capabilities; postinst gives them again, and says
    # nothing more about the group.
    dpkg -i "$deb" >"$work/reinstall.log" 2>&1
    expect "dpkg installs it again" 0 $?
    expect "the helper's owner and mode again" "root:ravelin 750" "$(stat -c '%U:%G %a' "$helper")"
    check_capabilities "after installing again"
    expect "the hint is given once" 0 "$(grep -c 'usermod' "$work/reinstall.log")"

    apt-get purge -y -q ravelin >"$work/purge.log" 2>&1
    expect "apt-get purges the package" 0 $?
    check_purged "after the purge"
}

check_capabilities() { # WHEN
    local caps capability
    caps=$(getcap "$helper")
    for capability in "${capabilities[@]}"; do
        expect_match "$capability $1" "[ ,]${capability}[,=]" "$caps"
    done
    expect_match "effective and permitted $1" '=ep$' "$caps"
}

check_purged() { # WHEN
    expect "the package is gone $1" no "$(package_present && echo yes || echo no)"
    expect "the group is gone $1" "" "$(getent group ravelin)"
    expect "the override is gone $1" "" "$(dpkg-statoverride --list "$helper")"
    expect "the helper is gone $1" no "$([ -e /usr/libexec/ravelin ] && echo yes || echo no)"
}

# A file system that keeps no capabilities: setcap fails, the install goes on and says why.
no_capabilities_check() {
    mkdir -p "$work/fake-bin"
    printf '#!/bin/sh\necho "setcap: Operation not supported" >&2\nexit 1\n' >"$work/fake-bin/setcap"
    chmod +x "$work/fake-bin/setcap"
    PATH="$work/fake-bin:$PATH" dpkg -i "$deb" >"$work/nocaps.log" 2>&1
    expect "the install goes on without setcap" 0 $?
    expect_match "postinst warns that capture needs root" 'capture then needs root' \
        "$(cat "$work/nocaps.log")"
    expect "the helper's owner and mode without capabilities" "root:ravelin 750" \
        "$(stat -c '%U:%G %a' "$helper")"
    expect "no capabilities" "" "$(getcap "$helper")"
    dpkg --purge ravelin >"$work/purge.log" 2>&1
    expect "dpkg purges the package" 0 $?
    check_purged "after the second purge"
}

if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP the install check: it installs the package for real and needs root"
elif package_present; then
    echo "SKIP the install check: a package ravelin is installed here already"
elif [ -n "$(dpkg-statoverride --list "$helper")" ]; then
    echo "SKIP the install check: $helper has an override of the administrator's"
else
    install_check
    no_capabilities_check
fi

expect_summary package
