#!/usr/bin/env bash
# Builds the Debian package, installs it on this machine with apt-get, checks
# the installed programs and files, and removes the package again. Needs root
# (or sudo); CI runs it after the test suite.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
package="$("$root/scripts/package-deb.sh" | tail -n 1)"
name=brivane-firmware-tool

if [ "$(id -u)" -ne 0 ]; then
    as_root=(sudo)
else
    as_root=()
fi
export DEBIAN_FRONTEND=noninteractive
scratch="$(mktemp -d)"
cleanup() {
    "${as_root[@]}" apt-get remove -y -q "$name" >/dev/null 2>&1 || true
    rm -rf "$scratch"
}
trap cleanup EXIT

fail() {
    echo "test-package: $*" >&2
    exit 1
}

echo "test-package: installing $package"
"${as_root[@]}" apt-get install -y -q "$package" >"$scratch/install.log" 2>&1 ||
    { cat "$scratch/install.log" >&2; fail "apt-get install failed"; }

installed_files=(
    /usr/bin/brivane-firmware-tool
    /usr/bin/brivane-fwtool
    /usr/lib/udev/rules.d/70-brivane-firmware-tool.rules
    /usr/share/applications/example.brivane.FirmwareTool.desktop
    /usr/share/metainfo/example.brivane.FirmwareTool.metainfo.xml
    /usr/share/icons/hicolor/48x48/apps/brivane-firmware-tool.png
    /usr/share/icons/hicolor/scalable/apps/brivane-firmware-tool.svg
    /usr/share/man/man1/brivane-fwtool.1.gz
    /usr/share/bash-completion/completions/brivane-fwtool
)
for file in "${installed_files[@]}"; do
    [ -f "$file" ] || fail "$file is not installed"
done
desktop-file-validate /usr/share/applications/example.brivane.FirmwareTool.desktop ||
    fail "the installed menu entry is not valid"
appstreamcli validate --no-net /usr/share/metainfo/example.brivane.FirmwareTool.metainfo.xml \
    >/dev/null || fail "the installed AppStream metadata is not valid"
# udev reads /lib/udev/rules.d; with merged /usr it is the same folder.
[ -f /lib/udev/rules.d/70-brivane-firmware-tool.rules ] || fail "udev does not see the rule"
BRIVANE_UDEV_RULE=/usr/lib/udev/rules.d/70-brivane-firmware-tool.rules \
    /usr/bin/python3 "$root/tests/packaging/test_udev_rule.py" >"$scratch/udev.log" 2>&1 ||
    { cat "$scratch/udev.log" >&2; fail "the installed udev rule does not work"; }
MANWIDTH=80 man --warnings -l /usr/share/man/man1/brivane-fwtool.1.gz >/dev/null 2>"$scratch/man.log"
[ ! -s "$scratch/man.log" ] || { cat "$scratch/man.log" >&2; fail "the manual page has faults"; }

cd "$scratch"
brivane-fwtool --help | grep -q "^  update " || fail "brivane-fwtool --help lists no commands"
brivane-fwtool devices >"$scratch/devices.txt" || fail "brivane-fwtool devices failed"
# An emulated adapter, to see the installed tool find and read one.
brivane-fwtool emulate create --model T5 --state new-layout --out "$scratch/adapter" >/dev/null
BRIVANE_EMULATOR="$scratch/adapter" brivane-fwtool devices | grep -qi "0e3a" ||
    fail "the installed brivane-fwtool does not list an emulated adapter"
BRIVANE_EMULATOR="$scratch/adapter" brivane-fwtool info >/dev/null ||
    fail "the installed brivane-fwtool cannot read an emulated adapter"

# The window program as the menu starts it: the entry's command, from the
# home folder, without a display.
home="$scratch/home"
mkdir -p "$home"
command_line="$(sed -n 's/^Exec=//p' /usr/share/applications/example.brivane.FirmwareTool.desktop)"
read -r -a command_words <<<"$command_line"
(cd "$home" && HOME="$home" XDG_CONFIG_HOME="$home/.config" QT_QPA_PLATFORM=offscreen \
    QT_QUICK_BACKEND=software exec "${command_words[@]}" >"$scratch/window.log" 2>&1) &
window=$!
settings="$home/.config/Brivane/Brivane Firmware Tool/configs.ini"
for _ in $(seq 1 200); do
    [ -f "$settings" ] && break
    sleep 0.1
done
sleep 2
alive=yes
kill -0 "$window" 2>/dev/null || alive=no
kill "$window" 2>/dev/null || true
wait "$window" 2>/dev/null || true
[ "$alive" = yes ] || { cat "$scratch/window.log" >&2; fail "the installed program ended"; }
[ -f "$settings" ] || fail "the program started from the menu keeps no settings in $settings"
[ ! -e "$home/configs.ini" ] || fail "the program started from the menu wrote configs.ini into the home folder"
if grep -E "qrc:/|is not installed|Cannot load library" "$scratch/window.log" >&2; then
    fail "the installed program's window did not load"
fi

echo "test-package: removing $name"
"${as_root[@]}" apt-get remove -y -q "$name" >"$scratch/remove.log" 2>&1 ||
    { cat "$scratch/remove.log" >&2; fail "apt-get remove failed"; }
for file in "${installed_files[@]}"; do
    [ ! -e "$file" ] || fail "$file is left after the removal"
done
echo "test-package: the package builds, passes lintian, installs, works and removes cleanly"
