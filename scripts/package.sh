#!/usr/bin/env bash
# Builds Ravelin's Debian package: the program in /usr/bin, its window's module in
# /usr/lib/ravelin, the capture helper in /usr/libexec/ravelin, the desktop entry, icons, manual
# page and docs (copyright, changelog, the user guide), with the maintainer scripts of
# packaging/debian/ that give the helper to the group ravelin.
#
#   scripts/package.sh [BUILD_DIR] [OUT_DIR]
#
# BUILD_DIR: a configured build to build ravelin and ravelin-capture in (default: the release
# preset, configured here, in build/release). OUT_DIR: where ravelin_<version>_<arch>.deb goes
# (default: build/package). Prints the package's path last.
set -euo pipefail

die() {
    echo "package.sh: $*" >&2
    exit 1
}

# The arguments name folders from where the script was started; it works from the top.
build_dir=${1:+$(realpath -m -- "$1")}
out_dir=${2:+$(realpath -m -- "$2")}
cd "$(dirname "$0")/.."
out_dir=${out_dir:-build/package}
umask 022

./scripts/install-deps.sh

if [ -z "$build_dir" ]; then
    # Debian's hardening flags, as Debian builds its own packages (fortified calls, stack
    # protector, full RELRO, bind now): the helper runs with capabilities.
    export DEB_BUILD_MAINT_OPTIONS=hardening=+all
    cflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CFLAGS)"
    cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
    cmake --preset release -DCMAKE_C_FLAGS="$cflags" -DCMAKE_CXX_FLAGS="$cxxflags" \
        -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
    build_dir=build/release
elif [ ! -f "$build_dir/CMakeCache.txt" ]; then
    die "$build_dir is not a configured build directory (it has no CMakeCache.txt)"
fi

# Without the helper the package could not capture at all: no package rather than a broken one.
targets=$(cmake --build "$build_dir" --target help)
if ! grep -qE '^(\.\.\. )?ravelin-capture(:| |$)' <<<"$targets"; then
    die "the build in $build_dir has no target ravelin-capture (the capture helper)"
fi
cmake --build "$build_dir" --target ravelin ravelin-capture

version=$(sed -nE 's/^project\([[:space:]]*Ravelin[[:space:]]+VERSION[[:space:]]+([0-9]+(\.[0-9]+)*).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || die "no project(Ravelin VERSION ...) in CMakeLists.txt"
changelog=packaging/debian/changelog
changelog_version=$(dpkg-parsechangelog -l "$changelog" -S Version)
if [ "$changelog_version" != "$version" ]; then
    die "$changelog's newest entry is $changelog_version, the project's version $version: add an entry"
fi
arch=$(dpkg --print-architecture)
# The same tree gives the same package: file times are clamped to the changelog's date.
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(dpkg-parsechangelog -l "$changelog" -S Timestamp)}
export SOURCE_DATE_EPOCH

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Staged where dpkg-shlibdeps expects a package's files, under debian/<package>.
root=$work/debian/ravelin
doc=$root/usr/share/doc/ravelin

install -d -m 0755 "$root" "$root/DEBIAN" "$root/usr/bin" "$root/usr/libexec/ravelin" "$root/usr/lib/ravelin" \
    "$root/usr/share/applications" "$root/usr/share/man/man1" "$doc"
install -m 0755 "$build_dir/src/ravelin" "$root/usr/bin/ravelin"
# 0755 as shipped; postinst narrows it to root:ravelin 0750 through dpkg-statoverride.
install -m 0755 "$build_dir/src/ravelin-capture" "$root/usr/libexec/ravelin/ravelin-capture"
# The window, a module that ravelin loads from ../lib/ravelin to show it.
install -m 0644 "$build_dir/src/ravelin-window.so" "$root/usr/lib/ravelin/ravelin-window.so"
# As dh_strip would: no symbols, no compiler notes.
strip --strip-unneeded --remove-section=.comment --remove-section=.note \
    "$root/usr/bin/ravelin" "$root/usr/libexec/ravelin/ravelin-capture" \
    "$root/usr/lib/ravelin/ravelin-window.so"

install -m 0644 resources/ravelin.desktop "$root/usr/share/applications/ravelin.desktop"
for size in 16 32 64; do
    install -d -m 0755 "$root/usr/share/icons/hicolor/${size}x$size/apps"
    install -m 0644 "resources/icons/ravelin-$size.png" \
        "$root/usr/share/icons/hicolor/${size}x$size/apps/ravelin.png"
done
gzip -9n <resources/ravelin.1 >"$root/usr/share/man/man1/ravelin.1.gz"
install -m 0644 packaging/debian/copyright "$doc/copyright"
# The user guide, compressed as Debian compresses documentation; the manual page points to it.
gzip -9n <docs/user-guide.md >"$doc/user-guide.md.gz"
# A version without a Debian revision is a native package's, whose changelog is changelog.gz.
changelog_name=changelog.gz
if [[ $version == *-* ]]; then
    changelog_name=changelog.Debian.gz
fi
gzip -9n <"$changelog" >"$doc/$changelog_name"
chmod 0644 "$root/usr/share/man/man1/ravelin.1.gz" "$doc/$changelog_name" "$doc/user-guide.md.gz"

# dpkg-shlibdeps finds the packages of the libraries the binaries link; it wants a
# debian/control beside the package's tree (a stub is enough) and the tree's DEBIAN folder.
printf 'Source: ravelin\n\nPackage: ravelin\nArchitecture: any\n' >"$work/debian/control"
shlibs=$(cd "$work" && dpkg-shlibdeps -O -edebian/ravelin/usr/bin/ravelin \
    -edebian/ravelin/usr/libexec/ravelin/ravelin-capture \
    -edebian/ravelin/usr/lib/ravelin/ravelin-window.so)
shlibs=${shlibs#shlibs:Depends=}
[ -n "$shlibs" ] || die "dpkg-shlibdeps found no shared libraries"
# setcap for postinst; groupadd and groupdel for the maintainer scripts.
depends="$shlibs, libcap2-bin, passwd"

# As dpkg-gencontrol counts: each file's size in KiB, rounded up, and one for every other entry.
installed_size=$(find "$root/usr" -printf '%y %s\n' |
    awk '{ total += ($1 == "f") ? int(($2 + 1023) / 1024) : 1 } END { print total }')

# Bash 5.2 would put the matched text for an & in a replacement.
shopt -u patsub_replacement 2>/dev/null || true
control=$(<packaging/debian/control.in)
control=${control//@VERSION@/$version}
control=${control//@ARCH@/$arch}
control=${control//@DEPENDS@/$depends}
control=${control//@INSTALLED_SIZE@/$installed_size}
printf '%s\n' "$control" >"$root/DEBIAN/control"
install -m 0755 packaging/debian/postinst packaging/debian/postrm "$root/DEBIAN/"
(cd "$root" && find usr -type f -print0 | LC_ALL=C sort -z | xargs -0 md5sum) >"$root/DEBIAN/md5sums"
chmod 0644 "$root/DEBIAN/control" "$root/DEBIAN/md5sums"

mkdir -p "$out_dir"
deb=$out_dir/ravelin_${version}_$arch.deb
dpkg-deb --build --root-owner-group "$root" "$deb" >/dev/null
echo "$deb"
