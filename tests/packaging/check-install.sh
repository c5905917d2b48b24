#!/bin/sh
# check-install.sh BUILD_DIR
# `cmake --install BUILD_DIR --prefix DIR` into a fresh folder must put every
# file under that folder, so that installing into ~/.local needs no root.
set -eu
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

fail() { echo "FAIL: $*"; exit 1; }

# DESTDIR would hide a destination outside the prefix.
env -u DESTDIR cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 \
  || { cat "$work/install.log"; fail "cmake --install"; }
manifest="$build/install_manifest.txt"
[ -s "$manifest" ] || fail "no install manifest"
outside=$(grep -v "^$prefix/" "$manifest" || true)
[ -z "$outside" ] || fail "installed outside the prefix: $outside"
for f in bin/mzt500-backup lib/udev/rules.d/60-mzt500.rules share/man/man1/mzt500-backup.1.gz \
         share/bash-completion/completions/mzt500-cli share/applications/com.korvant.MZT500Backup.desktop \
         share/systemd/user/mzt500-watch.service
do
  [ -e "$prefix/$f" ] || fail "missing $f under the prefix"
done
# systemd reads share/systemd/user under /usr/local and ~/.local; the unit
# names the program where this prefix put it.
grep -qx "ExecStart=$prefix/bin/mzt500-cli watch" "$prefix/share/systemd/user/mzt500-watch.service" \
  || fail "the systemd user unit does not run $prefix/bin/mzt500-cli watch"
echo "installed $(wc -l < "$manifest") files under the prefix"
