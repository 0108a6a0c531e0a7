# Shared by the Wine test runners: a quiet, self-contained 32-bit prefix.
#
# wine_prefix_open NAME  creates (or, when SETUP_WINEPREFIX names a prepared prefix, reuses) a
#                        prefix and exports WINEPREFIX and the quiet Wine settings; WINE_WORK
#                        is a scratch folder for logs.
# wine_prefix_close      stops this prefix's wineserver and removes what open created.
# wine_display_open DIR  starts an Xvfb display of its own for the windows (wine_display_close
#                        ends it).
# wine_session_open DIR KEEP LABEL
#                        a display and a prefix to be made in DIR/prefix for a runner that
#                        makes its own (the end-to-end tests, the benchmarks); everything is
#                        ended at exit and DIR removed unless KEEP is 1.
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

# wine_display_open DIR [SCREEN]: starts Xvfb on a free display number (Xvfb writes it to
# DIR/display), exports DISPLAY and keeps the server in XVFB_PID; its log is DIR/xvfb.log.
# Returns 1, with that log on stderr, when the server does not come up.
wine_display_open() {
  local dir=$1 screen=${2:-1024x768x24} _
  Xvfb -displayfd 3 -screen 0 "$screen" -nolisten tcp 3>"$dir/display" >"$dir/xvfb.log" 2>&1 </dev/null &
  XVFB_PID=$!
  for _ in $(seq 1 100); do
    [ -s "$dir/display" ] && break
    kill -0 "$XVFB_PID" 2>/dev/null || break
    sleep 0.1
  done
  if [ ! -s "$dir/display" ]; then
    echo "Xvfb did not start:" >&2
    cat "$dir/xvfb.log" >&2
    return 1
  fi
  export DISPLAY=":$(tr -d '\n' <"$dir/display")"
}

# wine_display_close: ends the display wine_display_open started, if any.
wine_display_close() {
  [ -n "${XVFB_PID:-}" ] || return 0
  kill "$XVFB_PID" 2>/dev/null || true
  wait "$XVFB_PID" 2>/dev/null || true
  XVFB_PID=
}

# wine_session_open DIR KEEP LABEL: starts the display (wine_display_open DIR) and exports the
# settings of a prefix in DIR/prefix, which the caller makes (wineboot). At exit, interruption or
# termination the prefix's wineserver and the display are ended, and DIR is removed, or kept
# when KEEP is 1 ("LABEL: kept DIR"); the exit status stays the script's. Returns 1, with the
# display's log on stderr, when Xvfb does not come up.
wine_session_open() {
  WINE_SESSION_DIR=$1
  WINE_SESSION_KEEP=$2
  WINE_SESSION_LABEL=$3
  trap wine_session_end EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  wine_display_open "$WINE_SESSION_DIR" || return 1
  export WINEPREFIX=$WINE_SESSION_DIR/prefix
  # Wine links the user's Desktop and Documents to the home folder: keep them inside the run.
  export HOME=$WINE_SESSION_DIR/home
  mkdir -p "$HOME"
  # Wine turns the command line into wide text through the locale: non-ASCII names need UTF-8.
  export LC_ALL=C.UTF-8
  # setup.exe must not open its error report in a text viewer.
  export SETUP_NO_SHELL_OPEN=1
}

wine_session_end() {
  local status=$?
  trap - EXIT INT TERM
  # Only the prefix of this session: a WINEPREFIX from the caller's environment is left alone.
  if [ "${WINEPREFIX:-}" = "$WINE_SESSION_DIR/prefix" ] && [ -d "$WINEPREFIX" ]; then
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
  fi
  wine_display_close
  if [ "$WINE_SESSION_KEEP" = 1 ]; then
    echo "$WINE_SESSION_LABEL: kept $WINE_SESSION_DIR"
  else
    rm -rf "$WINE_SESSION_DIR"
  fi
  exit "$status"
}
