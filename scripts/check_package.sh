#!/usr/bin/env bash
# Checks the Debian package as a user would meet it: the desktop and AppStream
# files validate, the package installs with apt-get, the installed command
# line makes and restores a delta, and the package removes cleanly. Run as
# root (CI runs it after the tests); it removes any installed quoralith first.
set -euo pipefail
cd "$(dirname "$0")/.."

desktop-file-validate resources/quoralith-gui.desktop
xmllint --noout resources/quoralith-mime.xml 2>/dev/null || python3 -c "import sys, xml.dom.minidom as m; m.parse(sys.argv[1])" resources/quoralith-mime.xml

scripts/package.sh
# The AppStream entry takes its release number from the build.
appstreamcli validate --no-net build-package/generated/quoralith.metainfo.xml
deb="$(ls build-package/quoralith_*.deb | head -n 1)"
dpkg-deb --info "$deb" | sed -n '/Depends/p'

export DEBIAN_FRONTEND=noninteractive
apt-get remove -y -q quoralith >/dev/null 2>&1 || true
apt-get install -y -q "./$deb"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
test "$(/usr/bin/quoralith --version)" = "quoralith $(sed -n 's/^project(Quoralith VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)"
head -c 300000 /dev/urandom > "$work/base"
{ head -c 120000 "$work/base"; printf 'a change'; tail -c +120001 "$work/base"; } > "$work/updated"
/usr/bin/quoralith create "$work/base" "$work/updated" "$work/delta.dlt"
/usr/bin/quoralith restore "$work/base" "$work/delta.dlt" "$work/restored"
cmp "$work/updated" "$work/restored"
test -x /usr/bin/quoralith-gui
for f in /usr/share/quoralith/QRALITH.wav /usr/share/quoralith/help/Qrlith32.html \
         /usr/share/applications/quoralith-gui.desktop /usr/share/man/man1/quoralith.1 \
         /usr/share/icons/hicolor/scalable/apps/quoralith.svg /usr/share/mime/packages/quoralith.xml; do
  test -f "$f" || { echo "missing after install: $f" >&2; exit 1; }
done
man -l /usr/share/man/man1/quoralith.1 >/dev/null

apt-get remove -y -q quoralith
if dpkg -L quoralith >/dev/null 2>&1 && [ "$(dpkg-query -W -f='${Status}' quoralith)" = "install ok installed" ]; then
  echo "quoralith is still installed" >&2
  exit 1
fi
test ! -e /usr/bin/quoralith
test ! -e /usr/share/quoralith
echo "package check: built, installed, round trip, removed"
