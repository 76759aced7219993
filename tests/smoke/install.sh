#!/bin/sh
# A per-user install into a scratch home: the files land where a desktop looks for them, the
# desktop entry is valid, the launcher starts the installed tool, and uninstall leaves nothing.
#   install.sh BUILD_DIR
set -eu
BUILD=$(cd "$1" && pwd)
SRC=$(cd "$(dirname "$0")/../.." && pwd)
SCRATCH=$(mktemp -d)
trap 'rm -rf "$SCRATCH"' EXIT
export HOME="$SCRATCH/home" XDG_DATA_HOME= XDG_STATE_HOME="$SCRATCH/state"
unset XDG_DATA_HOME
mkdir -p "$HOME"
echo "# user's own line" > "$HOME/.bashrc"
cp "$HOME/.bashrc" "$SCRATCH/bashrc.before"

sh "$SRC/scripts/install-user.sh" install "$BUILD"
for f in lib/kaliwire/kaliwire lib/kaliwire/kwflash lib/kaliwire/kaliwire-programmer \
         lib/kaliwire/TOLVANEX.dll \
         bin/kaliwire bin/kwflash \
         share/applications/kaliwire.desktop share/icons/hicolor/scalable/apps/kaliwire.svg \
         share/bash-completion/completions/kwflash share/man/man1/kwflash.1.gz; do
    [ -e "$HOME/.local/$f" ] || { echo "missing $f"; exit 1; }
done
# The ST-LINK library by default, the stand-in on request.
cmp "$BUILD/bin/stlink/TOLVANEX.dll" "$HOME/.local/lib/kaliwire/TOLVANEX.dll"
PROGRAMMER=standin sh "$SRC/scripts/install-user.sh" install "$BUILD" >/dev/null
cmp "$BUILD/bin/TOLVANEX.dll" "$HOME/.local/lib/kaliwire/TOLVANEX.dll"
desktop-file-validate "$HOME/.local/share/applications/kaliwire.desktop"
grep -q "^Exec=$HOME/.local/lib/kaliwire/kaliwire %f$" "$HOME/.local/share/applications/kaliwire.desktop"

# The launcher starts the installed copy, which writes its settings beside itself.
QT_QPA_PLATFORM=offscreen "$HOME/.local/bin/kaliwire" & pid=$!
sleep 1.5
kill -TERM $pid
wait $pid

# The installed command line finds the installed library: it reads the stand-in's erased flash.
(cd "$SCRATCH" && TOLVANEX_STANDIN=delay=0 "$HOME/.local/bin/kwflash" read flash.bin --quiet)
head -c 8192 /dev/zero | tr '\0' '\377' > "$SCRATCH/erased.bin"
cmp "$SCRATCH/flash.bin" "$SCRATCH/erased.bin"

sh "$SRC/scripts/install-user.sh" uninstall
left=$(find "$HOME/.local" -type f | wc -l)
[ "$left" -eq 0 ] || { echo "left behind:"; find "$HOME/.local" -type f; exit 1; }
cmp "$HOME/.bashrc" "$SCRATCH/bashrc.before"
echo "install and uninstall ok"
