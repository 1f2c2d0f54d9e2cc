#!/usr/bin/env bash
# cpack -G DEB: one datumsift_VERSION_ARCH.deb with the project's version,
# dependencies computed from the programs' libraries, the files a Debian
# package must carry, and, where lintian is present, no error from it.
#   package.sh BUILD_DIR CPACK VERSION GUI(ON|OFF)
set -uo pipefail
build=$1 cpack=$2 version=$3 gui=$4
status=0
fail() { echo "FAIL: $*" >&2; status=1; }
for tool in dpkg-deb dpkg-shlibdeps; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool not found (Debian: dpkg-dev); no package built"; exit 77; }
done

# The package's directories get the modes the staging directory got.
umask 022
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# cpack would first build every target of the build directory (its
# "preinstall"); the test packs what the same install rules put into a
# staging directory instead, stripped as cpack strips it.
cmake --install "$build" --prefix "$work/stage/usr" --strip >"$work/log" 2>&1 &&
    "$cpack" --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" \
        -D CPACK_INSTALL_CMAKE_PROJECTS= -D "CPACK_INSTALLED_DIRECTORIES=$work/stage;." >>"$work/log" 2>&1 ||
    { cat "$work/log" >&2; echo "FAIL: the package was not built" >&2; exit 1; }

debs=("$work"/out/datumsift_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "FAIL: no single datumsift_*.deb: ${debs[*]}" >&2; exit 1; }
deb=${debs[0]}
arch=$(dpkg --print-architecture)
[ "$(basename "$deb")" == "datumsift_${version}_${arch}.deb" ] || fail "named $(basename "$deb")"
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" == datumsift ] || fail "Package: $(field Package)"
[ "$(field Version)" == "$version" ] || fail "Version: $(field Version), not $version"
[[ $(field Maintainer) =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] || fail "Maintainer: $(field Maintainer)"
[ -n "$(field Section)" ] || fail "no Section"
depends=$(field Depends)
needs=(libc6 libstdc++6 libewf2)
[ "$gui" == ON ] && needs+=(libqt6widgets6)
for lib in "${needs[@]}"; do
    tr ',|' '\n\n' <<<"$depends" | awk '{ print $1 }' | grep -qxF "$lib" || fail "Depends lacks $lib: $depends"
done

contents=$(dpkg-deb -c "$deb" | awk '{ print $6 }')
for f in usr/bin/datumsift usr/share/doc/datumsift/copyright usr/share/doc/datumsift/changelog.gz \
         usr/share/man/man1/datumsift.1.gz usr/share/bash-completion/completions/datumsift; do
    grep -qxF "./$f" <<<"$contents" || fail "the package lacks /$f"
done
[ "$gui" != ON ] || grep -qxF ./usr/bin/datumsift-gui <<<"$contents" || fail "the package lacks /usr/bin/datumsift-gui"

if ! command -v lintian >/dev/null; then
    echo "SKIP: lintian not found (Debian: lintian); the package was built but not checked"
    [ $status -eq 0 ] && exit 77
    exit $status
fi
# Errors fail; warnings and notes are shown.
lintian --fail-on error --display-info "$deb" 2>&1 | grep -v 'root privileges' | tee "$work/lintian"
[ "${PIPESTATUS[0]}" -eq 0 ] || fail "lintian found errors"
[ $status -eq 0 ] && echo "$(basename "$deb") built; lintian: $(grep -c '^E:' "$work/lintian") errors, $(grep -c '^W:' "$work/lintian") warnings"
exit $status
