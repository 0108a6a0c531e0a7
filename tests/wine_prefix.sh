# Shared by the Wine test runners: a quiet, self-contained 32-bit prefix.
#
# wine_prefix_open NAME  creates (or, when SETUP_WINEPREFIX names a prepared prefix, reuses) a
#                        prefix and exports WINEPREFIX and the quiet Wine settings; WINE_WORK
#                        is a scratch folder for logs.
# wine_prefix_close      stops this prefix's wineserver and removes what open created.
#
# Creating a prefix takes 20-75 s, so `make test` prepares one and hands it to every runner.

export WINEARCH=win32
export WINEDEBUG=-all
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree,mshtml="

wine_prefix_open() {
  local name=$1
  WINE_WORK=$(mktemp -d "/tmp/setup-$name.XXXXXX")
  # Wine links the user's Desktop and Documents to the home folder: keep them inside the run.
  export HOME=$WINE_WORK/home
  mkdir -p "$HOME"
  if [ -n "${SETUP_WINEPREFIX:-}" ] && [ -f "$SETUP_WINEPREFIX/system.reg" ]; then
    export WINEPREFIX=$SETUP_WINEPREFIX
  else
    export WINEPREFIX=$WINE_WORK/prefix
    wineboot -i >"$WINE_WORK/wineboot.log" 2>&1 </dev/null
    wine_place_windows "$WINE_WORK/reg.log"
    wineserver -w
  fi
}

# wine_place_windows LOG: no window manager runs on Xvfb, so Wine places its windows itself;
# otherwise hiding a window (closing a message box) first waits up to 2 s for a manager's
# answer that never comes.
wine_place_windows() {
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >"$1" 2>&1 </dev/null || return 1
  wine_system_fonts
}

# wine_system_fonts: Debian's Wine does not find the fonts of its fonts-wine package by itself;
# in the prefix's Fonts folder it does. Without them "MS Shell Dlg 2" falls back to another face
# and Marlett's arrows (title bars, the language button) show as letters.
wine_system_fonts() {
  local fonts=$WINEPREFIX/drive_c/windows/Fonts
  mkdir -p "$fonts"
  cp /usr/share/wine/fonts/*.ttf "$fonts/" 2>/dev/null || true
}

wine_prefix_close() {
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINE_WORK"  # holds the prefix when open created it
}
