#!/bin/sh
# Installs the build tree into a temporary DESTDIR with the prefix /usr, checks that every installed
# file is there and runs the installed console's --version from it.
#   install_tree_test.sh CMAKE BUILD_DIR VERSION
set -eu
cmake=$1 build=$2 version=$3
dest=$(mktemp -d)
trap 'rm -rf "$dest"' EXIT
DESTDIR=$dest "$cmake" --install "$build" --prefix /usr >/dev/null

for f in bin/corvantel bin/cv-controller-sim \
         share/applications/com.varnholt.corvantel.desktop \
         share/metainfo/com.varnholt.corvantel.metainfo.xml \
         share/icons/hicolor/scalable/apps/com.varnholt.corvantel.svg \
         share/icons/hicolor/48x48/apps/com.varnholt.corvantel.png \
         share/icons/hicolor/128x128/apps/com.varnholt.corvantel.png \
         share/man/man1/corvantel.1.gz; do
  [ -s "$dest/usr/$f" ] || { echo "not installed: /usr/$f" >&2; exit 1; }
done
[ -x "$dest/usr/bin/corvantel" ] && [ -x "$dest/usr/bin/cv-controller-sim" ]
gzip -t "$dest/usr/share/man/man1/corvantel.1.gz"

out=$(env -u DISPLAY -u WAYLAND_DISPLAY "$dest/usr/bin/corvantel" --version)
if [ "$out" != "Corvantel $version" ]; then
  echo "installed corvantel --version printed '$out', expected 'Corvantel $version'" >&2
  exit 1
fi
echo "installed tree ok: $out"
