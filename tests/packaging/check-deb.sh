#!/bin/sh
# check-deb.sh BUILD_DIR SOURCE_DIR
set -eu
build=$1
src=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() { echo "FAIL: $*"; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/out/*.deb)
echo "package: $(basename "$deb")"
dpkg-deb --info "$deb" | sed -n 's/^ *\(Package\|Version\|Depends\|Section\): /  &/p'

root="$work/root"
dpkg -x "$deb" "$root"
for f in \
  usr/bin/mzt500-backup \
  usr/share/applications/com.korvant.MZT500Backup.desktop \
  usr/share/metainfo/com.korvant.MZT500Backup.metainfo.xml \
  usr/share/mime/packages/mzt500-archive.xml \
  usr/share/icons/hicolor/16x16/apps/com.korvant.MZT500Backup.png \
  usr/share/icons/hicolor/48x48/apps/com.korvant.MZT500Backup.png \
  usr/share/icons/hicolor/256x256/apps/com.korvant.MZT500Backup.png \
  usr/share/icons/hicolor/scalable/apps/com.korvant.MZT500Backup.svg \
  lib/udev/rules.d/60-mzt500.rules \
  usr/share/doc/mzt500-backup/copyright \
  usr/share/doc/mzt500-backup/changelog.gz \
  usr/share/man/man1/mzt500-backup.1.gz \
  usr/share/bash-completion/completions/mzt500-cli \
  usr/lib/systemd/user/mzt500-watch.service
do
  [ -e "$root/$f" ] || fail "missing /$f"
done
[ -x "$root/usr/bin/mzt500-backup" ] || fail "mzt500-backup is not executable"
[ -x "$root/usr/bin/mzt500-cli" ] || fail "missing /usr/bin/mzt500-cli"
[ -e "$root/usr/share/man/man1/mzt500-cli.1.gz" ] || fail "missing the mzt500-cli manual page"
cmp -s "$root/usr/share/doc/mzt500-backup/copyright" "$src/packaging/debian/copyright" \
  || fail "the package's copyright file is not packaging/debian/copyright"

# One version names the product: the package, both programs, the manual
# pages, the AppStream release and the changelog.
version=$(dpkg-deb --field "$deb" Version)
[ "$("$root/usr/bin/mzt500-backup" --version)" = "mzt500-backup $version" ] \
  || fail "mzt500-backup --version is not $version"
if [ -x "$root/usr/bin/mzt500-cli" ]; then
  [ "$("$root/usr/bin/mzt500-cli" --version)" = "mzt500-cli $version" ] \
    || fail "mzt500-cli --version is not $version"
fi
for page in "$root"/usr/share/man/man1/*.1.gz; do
  zcat "$page" | grep -q "^\.TH .* \"mzt500-backup $version\"" || fail "$(basename "$page") version"
done
grep -q "<release version=\"$version\"" "$root/usr/share/metainfo/com.korvant.MZT500Backup.metainfo.xml" \
  || fail "the AppStream release is not $version"
zcat "$root/usr/share/doc/mzt500-backup/changelog.gz" | head -n1 | grep -q "^mzt500-backup ($version) " \
  || fail "the changelog's newest entry is not $version"

# The .desktop file opens archives: its MimeType names the type the MIME
# package defines for *.mzt, and Exec passes the file as the one argument.
desktop="$root/usr/share/applications/com.korvant.MZT500Backup.desktop"
grep -q '^MimeType=application/x-mzt500-archive;$' "$desktop" || fail "desktop MimeType"
grep -q '^Exec=mzt500-backup %f$' "$desktop" || fail "desktop Exec"
grep -q 'type="application/x-mzt500-archive"' "$root/usr/share/mime/packages/mzt500-archive.xml" || fail "mime type"
grep -q 'pattern="\*.mzt"' "$root/usr/share/mime/packages/mzt500-archive.xml" || fail "mime glob"
grep -q 'TAG+="uaccess"' "$root/lib/udev/rules.d/60-mzt500.rules" || fail "udev uaccess"
grep -q 'ID_MM_DEVICE_IGNORE' "$root/lib/udev/rules.d/60-mzt500.rules" || fail "udev ModemManager"
grep -qx 'ExecStart=/usr/bin/mzt500-cli watch' "$root/usr/lib/systemd/user/mzt500-watch.service" \
  || fail "the systemd user unit does not run /usr/bin/mzt500-cli watch"

desktop-file-validate "$desktop" || fail "desktop-file-validate"
appstreamcli validate --no-net "$root/usr/share/metainfo/com.korvant.MZT500Backup.metainfo.xml" \
  || fail "appstreamcli validate"

# lintian refuses to run as root without --allow-root. Its informational
# tags are shown too; errors and warnings fail the check.
lintian_args="--fail-on error,warning --display-info"
[ "$(id -u)" -eq 0 ] && lintian_args="$lintian_args --allow-root"
echo "lintian:"
# shellcheck disable=SC2086
lintian $lintian_args "$deb" || fail "lintian reported errors or warnings"
echo "lintian: end"
echo "package checks passed"
