#!/usr/bin/env bash
# Builds the Debian package from a configured and built folder and checks it: the files it must hold
# (and nothing else), run-time dependencies worked out from the programs' libraries, and the desktop
# entry and AppStream metadata under their validators.
#   scripts/check-package.sh [BUILD_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")

rm -f "$build"/corvantel_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
shopt -s nullglob
debs=("$build"/corvantel_*.deb)
[ ${#debs[@]} -eq 1 ] || { echo "expected one package in $build, found ${#debs[@]}" >&2; exit 1; }
deb=${debs[0]}
echo "package: $(basename "$deb") ($(du -k "$deb" | cut -f1) KiB)"

# The files, exactly.
expected="./usr/bin/corvantel
./usr/bin/cv-controller-sim
./usr/share/applications/com.varnholt.corvantel.desktop
./usr/share/icons/hicolor/128x128/apps/com.varnholt.corvantel.png
./usr/share/icons/hicolor/48x48/apps/com.varnholt.corvantel.png
./usr/share/icons/hicolor/scalable/apps/com.varnholt.corvantel.svg
./usr/share/man/man1/corvantel.1.gz
./usr/share/metainfo/com.varnholt.corvantel.metainfo.xml"
files=$(dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sort)
if [ "$files" != "$(sort <<<"$expected")" ]; then
  echo "package files differ from the expected ones:" >&2
  diff <(sort <<<"$expected") <(echo "$files") >&2 || true
  exit 1
fi

# Dependencies computed by dpkg-shlibdeps: the C and C++ run-time libraries and Qt's widgets.
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
names=$(tr ',' '\n' <<<"$depends" | sed 's/^ *//; s/[ (].*//')
for lib in libc6 libstdc++6 libqt6core6 libqt6gui6 libqt6widgets6; do
  grep -Fqx "$lib" <<<"$names" || { echo "Depends lacks $lib" >&2; exit 1; }
done
for unwanted in libgtest libgmock libbenchmark; do
  if grep -q "$unwanted" <<<"$depends"; then echo "Depends names $unwanted" >&2; exit 1; fi
done
[ "$(dpkg-deb -f "$deb" Architecture)" = "$(dpkg --print-architecture)" ]

# The packaged data files under their validators.
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
dpkg-deb -x "$deb" "$tmp"
desktop-file-validate "$tmp/usr/share/applications/com.varnholt.corvantel.desktop"
appstreamcli validate --no-net --pedantic "$tmp/usr/share/metainfo/com.varnholt.corvantel.metainfo.xml" >/dev/null
for bin in corvantel cv-controller-sim; do
  if readelf -S "$tmp/usr/bin/$bin" | grep -q '\.debug_info'; then echo "$bin is not stripped" >&2; exit 1; fi
done
echo "package ok"
