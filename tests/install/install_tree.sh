#!/usr/bin/env bash
# cmake --install into a temporary prefix: both programs (the window's only
# in a build with it), the manual pages, the completion, the desktop entry,
# its icon and metainfo, checked with desktop-file-validate, appstreamcli
# and man; every version the files name is the program's.
#   install_tree.sh BUILD_DIR GUI(ON|OFF) VERSION
set -uo pipefail
build=$1 gui=$2 version=$3
status=0
fail() { echo "FAIL: $*" >&2; status=1; }
id=org.datumsift.DatumSift

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/usr
cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 ||
    { cat "$work/install.log" >&2; echo "FAIL: cmake --install failed" >&2; exit 1; }

expected=(bin/datumsift share/man/man1/datumsift.1.gz share/bash-completion/completions/datumsift
          share/doc/datumsift/copyright share/doc/datumsift/changelog.gz share/doc/datumsift/json.md)
gui_files=(bin/datumsift-gui share/man/man1/datumsift-gui.1.gz share/applications/$id.desktop
           share/icons/hicolor/scalable/apps/$id.svg share/icons/hicolor/128x128/apps/$id.png
           share/metainfo/$id.metainfo.xml)
[ "$gui" == ON ] && expected+=("${gui_files[@]}")
for f in "${expected[@]}"; do [ -s "$prefix/$f" ] || fail "not installed: $f"; done
if [ "$gui" != ON ]; then
    for f in "${gui_files[@]}"; do [ ! -e "$prefix/$f" ] || fail "installed without the window: $f"; done
fi
# Nothing but these: no test program, tool or benchmark.
unexpected=$(cd "$prefix" && find . -type f | sed 's|^\./||' | grep -vxF -f <(printf '%s\n' "${expected[@]}"))
[ -z "$unexpected" ] || fail "installed, but not meant to be: $unexpected"

[ "$("$prefix/bin/datumsift" --version)" == "datumsift $version" ] ||
    fail "the installed datumsift says '$("$prefix/bin/datumsift" --version)', not datumsift $version"
[ "$(zcat "$prefix/share/doc/datumsift/changelog.gz" | head -1 | grep -o '([^)]*)')" == "($version)" ] ||
    fail "the changelog's last entry is not $version"

# The installed pages, as man shows them.
if command -v man >/dev/null; then
    for page in "$prefix"/share/man/man1/*.1.gz; do
        warnings=$(MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
        [ -z "$warnings" ] || fail "man -l $(basename "$page") warns: $warnings"
        MANWIDTH=80 man -E UTF-8 -l "$page" 2>/dev/null | grep -q '^SEE ALSO' || fail "man -l shows nothing of $page"
    done
else
    echo "SKIP: man not found (Debian: man-db); the pages were not rendered"
fi

if [ "$gui" == ON ]; then
    desktop=$prefix/share/applications/$id.desktop
    metainfo=$prefix/share/metainfo/$id.metainfo.xml
    # The entry starts the installed program and names the installed icon.
    exec_line=$(sed -n 's/^Exec=//p' "$desktop")
    [ -x "$prefix/bin/${exec_line%% *}" ] || fail "Exec=$exec_line is not an installed program"
    [ "$(sed -n 's/^Icon=//p' "$desktop")" == "$id" ] || fail "Icon= does not name $id"
    grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo" ||
        fail "the metainfo does not launch $id.desktop"
    grep -q "<release version=\"$version\"" "$metainfo" || fail "the metainfo's release is not $version"
    grep -q '<svg ' "$prefix/share/icons/hicolor/scalable/apps/$id.svg" || fail "the icon is no SVG"
    [ "$(head -c 8 "$prefix/share/icons/hicolor/128x128/apps/$id.png" | od -An -tx1 | tr -d ' \n')" == 89504e470d0a1a0a ] ||
        fail "the 128x128 icon is no PNG"
    if command -v desktop-file-validate >/dev/null; then
        out=$(desktop-file-validate "$desktop" 2>&1) || fail "desktop-file-validate: $out"
        [ -z "$out" ] || fail "desktop-file-validate says: $out"
    else
        echo "SKIP: desktop-file-validate not found (Debian: desktop-file-utils)"
    fi
    if command -v appstreamcli >/dev/null; then
        out=$(appstreamcli validate --no-net --no-color "$metainfo" 2>&1) || fail "appstreamcli validate: $out"
    else
        echo "SKIP: appstreamcli not found (Debian: appstream)"
    fi
fi

[ $status -eq 0 ] && echo "installed ${#expected[@]} files into a temporary prefix"
exit $status
