#!/bin/sh
# Installs KALIWIRE for the current user, without root:
#   PREFIX/lib/kaliwire/            the tool, the command line kwflash, the helper process
#                                   kaliwire-programmer that runs the programmer library, and
#                                   that library beside them (the settings file TOLVANEX.INI is
#                                   written there too): the ST-LINK library, or the stand-in
#                                   with PROGRAMMER=standin
#   PREFIX/bin/kaliwire, kwflash    launchers on the PATH
#   DATA/applications/kaliwire.desktop, DATA/icons/hicolor/scalable/apps/kaliwire.svg,
#   DATA/bash-completion/completions/kwflash, DATA/man/man1/{kwflash,kaliwire}.1.gz
# PREFIX defaults to ~/.local and DATA to $XDG_DATA_HOME or PREFIX/share.
# `uninstall` removes exactly the files the install recorded.
#   scripts/install-user.sh install BUILD_DIR | uninstall
set -eu
PREFIX=${PREFIX:-$HOME/.local}
DATA=${XDG_DATA_HOME:-$PREFIX/share}
APPDIR=$PREFIX/lib/kaliwire
MANIFEST=$APPDIR/install-manifest.txt
SRC=$(cd "$(dirname "$0")/.." && pwd)
PROGRAMMER=${PROGRAMMER:-stlink}

install_files() {
    build=$1
    [ -x "$build/bin/kaliwire" ] && [ -x "$build/bin/kwflash" ] &&
        [ -x "$build/bin/kaliwire-programmer" ] ||
        { echo "build the tool first (make build)" >&2; exit 1; }
    case $PROGRAMMER in
    stlink) library=$build/bin/stlink/TOLVANEX.dll ;;
    standin) library=$build/bin/TOLVANEX.dll ;;
    *) echo "PROGRAMMER must be stlink or standin" >&2; exit 2 ;;
    esac
    mkdir -p "$APPDIR" "$PREFIX/bin" "$DATA/applications" "$DATA/icons/hicolor/scalable/apps"
    : > "$MANIFEST.new"
    put() { # put SOURCE DEST MODE
        install -m "$3" "$1" "$2"
        echo "$2" >> "$MANIFEST.new"
    }
    put "$build/bin/kaliwire" "$APPDIR/kaliwire" 755
    put "$build/bin/kwflash" "$APPDIR/kwflash" 755
    put "$build/bin/kaliwire-programmer" "$APPDIR/kaliwire-programmer" 755
    put "$library" "$APPDIR/TOLVANEX.dll" 644
    launcher=$(mktemp)
    for program in kaliwire kwflash; do
        printf '#!/bin/sh\nexec "%s" "$@"\n' "$APPDIR/$program" > "$launcher"
        put "$launcher" "$PREFIX/bin/$program" 755
    done
    rm -f "$launcher"
    desktop=$(mktemp)
    sed "s|@EXEC@|$APPDIR/kaliwire|" "$SRC/packaging/kaliwire.desktop.in" > "$desktop"
    put "$desktop" "$DATA/applications/kaliwire.desktop" 644
    rm -f "$desktop"
    put "$SRC/resources/kaliwire.svg" "$DATA/icons/hicolor/scalable/apps/kaliwire.svg" 644
    # bash-completion and man look here for a user's own programs.
    mkdir -p "$DATA/bash-completion/completions" "$DATA/man/man1"
    put "$SRC/packaging/kwflash.bash-completion" "$DATA/bash-completion/completions/kwflash" 644
    for page in kwflash kaliwire; do
        [ -f "$build/packaging/doc/$page.1.gz" ] &&
            put "$build/packaging/doc/$page.1.gz" "$DATA/man/man1/$page.1.gz" 644
    done
    echo "$MANIFEST" >> "$MANIFEST.new"
    mv "$MANIFEST.new" "$MANIFEST"
    case ":$PATH:" in
    *":$PREFIX/bin:"*) ;;
    *) add_path_block ;;
    esac
    echo "Installed KALIWIRE in $APPDIR; start it with: kaliwire (command line: kwflash --help)"
    if [ "$PROGRAMMER" = stlink ]; then
        echo "For an ST-LINK probe without root, once: sudo make install-udev"
    fi
}

# When the launcher's folder is not on the PATH, new shells get it through a marked block in
# the shell start-up files; uninstall removes exactly that block.
BEGIN_MARK="# >>> kaliwire launcher path >>>"
END_MARK="# <<< kaliwire launcher path <<<"
add_path_block() {
    added=""
    for rc in "$HOME/.profile" "$HOME/.bashrc"; do
        [ -f "$rc" ] || continue
        grep -qF "$BEGIN_MARK" "$rc" && { added=1; continue; }
        added=1
        {
            echo "$BEGIN_MARK"
            echo "case \":\$PATH:\" in *\":$PREFIX/bin:\"*) ;; *) PATH=\"$PREFIX/bin:\$PATH\" ;; esac"
            echo "$END_MARK"
        } >> "$rc"
    done
    if [ -n "$added" ]; then
        echo "Added $PREFIX/bin to the PATH of new shells (~/.profile, ~/.bashrc)."
    else
        echo "Note: $PREFIX/bin is not on your PATH; add it to start the tool by name."
    fi
}

remove_path_block() {
    for rc in "$HOME/.profile" "$HOME/.bashrc"; do
        [ -f "$rc" ] && grep -qF "$BEGIN_MARK" "$rc" || continue
        sed -i "/^$BEGIN_MARK\$/,/^$END_MARK\$/d" "$rc"
    done
}

uninstall_files() {
    [ -f "$MANIFEST" ] || { echo "KALIWIRE is not installed under $PREFIX"; exit 0; }
    while IFS= read -r file; do
        [ "$file" = "$MANIFEST" ] && continue
        rm -f "$file"
    done < "$MANIFEST"
    rm -f "$MANIFEST"
    remove_path_block
    # The folder stays when it holds the user's settings file.
    rmdir "$APPDIR" 2>/dev/null || true
    echo "Removed KALIWIRE from $PREFIX"
}

case "${1:-}" in
install) install_files "${2:-build}" ;;
uninstall) uninstall_files ;;
*) echo "usage: $0 install BUILD_DIR | uninstall" >&2; exit 2 ;;
esac
