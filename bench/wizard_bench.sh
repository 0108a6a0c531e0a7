#!/usr/bin/env bash
# The 300 MB install clicked through the wizard against the same setup run with -silent, under
# Wine on one Xvfb display (see bench/README.md): do the live status line and gauge slow the
# install down?
#
#   bench/wizard_bench.sh BIN_DIR        (make bench, after the install benchmark)
#
# Makes, when missing, the payload tree build/bench/payload300 (the same one install_bench.sh
# uses), builds one setup of the whole tree with setupbuild -q (the shipped page layout
# "default", English, no uninstaller), then installs it in one 32-bit Wine prefix, taking
# turns between the two ways:
#   silent       `setup -silent`; its closing "Compleated" box is watched for and answered;
#   interactive  `setup` alone: the window is waited for, "Next >" pressed up to the patch
#                page, "Install" pressed, the finish page's "Finish" button watched for and
#                pressed, and the process waited for.
# The windows are looked at with windriver.exe (`texts`), one Wine process per look, and only
# once the install folder holds every file: a look costs 0.1 to 0.7 s of Wine start-up and
# messages to the window being timed, and looking all along slowed the side that was looked at
# more often. Every install writes the same folder and is checked against the payload's
# manifest. Prints the medians of each side, the ratios interactive / silent and the figures
# of every round.
#
# WIZARD_BENCH_ROUNDS sets the timed installs of each side (default 5, at least 3 are
# advisable); WIZARD_BENCH_POLL_GAP_MS the pause between two looks (default 20);
# SETUP_PAYLOAD_SCRIPT overrides where the payload generator is looked for;
# WIZARD_BENCH_KEEP=1 keeps the temporary folder (prefix, logs) for a look afterwards. The run
# keeps every install until it ends: about 0.6 GB per round in TMPDIR (default /tmp).
set -euo pipefail

# shellcheck source=bench/lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
bench_init "wizard bench" "$@"
PAYLOAD=$WORK/payload300
ROUNDS=${WIZARD_BENCH_ROUNDS:-5}
POLL_GAP_MS=${WIZARD_BENCH_POLL_GAP_MS:-20}

bench_positive WIZARD_BENCH_ROUNDS "$ROUNDS"
if ! [[ "$POLL_GAP_MS" =~ ^[0-9]+$ ]]; then
  echo "wizard bench: WIZARD_BENCH_POLL_GAP_MS must be a number of milliseconds" >&2
  exit 2
fi
bench_need_files setupbuild setup.exe windriver.exe layout/default languages/English.wri
bench_need_commands wine wineboot wineserver Xvfb python3 sha256sum

# ---------------------------------------------------------------- the payload and the setup
ensure_payload "$PAYLOAD" 300

SCRIPT=$WORK/wizard_bench.script
EXE=wizard_bench.exe
CAPTION=" Bench Wizard"
INSTALL_DIR_WIN='C:\Bench Wizard'

# One setup for both ways, so that both write the same tree into the same folder. English
# gives the wizard its real texts (without a language its buttons read "NOT FOUND 13"); no
# "uninstallpages" line, so no uninstaller is built after the files.
cat >"$SCRIPT" <<EOF
; The whole payload tree, clicked through the wizard and installed silently (bench/wizard_bench.sh).
name "Bench Wizard"
outfile $EXE
installdir "$INSTALL_DIR_WIN"
language English
pages default
file payload300
EOF

echo "wizard bench: building the setup of $PAYLOAD_FILES files, $PAYLOAD_BYTES bytes (about a minute)"
rm -f "$WORK/$EXE"
bench_setupbuild "$SCRIPT" "$WORK/wizard_bench_build.log"

# ---------------------------------------------------------------- Wine and X
bench_wine_open wizard-bench "${WIZARD_BENCH_KEEP:-0}"
# No window manager runs on Xvfb: Wine places the windows itself (closing the "Compleated" box
# would otherwise wait 2 s for a manager), and gets the system fonts the wizard is drawn with.
wine_place_windows "$TMP/reg.log" || {
  cat "$TMP/reg.log" >&2
  bench_fail "cannot set the X11 driver's Managed value"
}
bench_notepad

# The setup runs from the prefix's C: drive under the name it was built with (it checks its
# own file name).
mkdir -p "$WINEPREFIX/drive_c/bench"
cp "$WORK/$EXE" "$WINEPREFIX/drive_c/bench/"
INSTALL_DIR="$WINEPREFIX/drive_c/Bench Wizard"

# ---------------------------------------------------------------- measuring
# The helper runs one install and prints one line:
#   whole_s signal_s signal_err_s first_s last_s cpu_s main_cpu_s server_cpu_s xvfb_cpu_s
#   window_s look_s exit_code
# Times are seconds from the clock's start: for silent, the start of `wine`; for interactive,
# the return of the windriver.exe that pressed "Install" (it posts the click just before it
# ends, so the install has begun a few milliseconds earlier).
# whole_s      the start of `wine` to the end of the setup process, on the clock of silent.
# signal_s     when the end was seen: silent, the "Compleated" box; interactive, the "Finish"
#              button. Each look at the windows is one `wine windriver.exe texts` from start to
#              end; the signal came after the last look that missed it ended (or after the last
#              file was there) and before the one that saw it ended. signal_s is the middle of
#              that span, signal_err_s its half.
# first_s      the modification time of the earliest file of the installed tree, and
# last_s       that of the latest: the first and last file written. last_s - first_s, the
#              write span, owes nothing to the looks.
# cpu_s        user + system time of the setup process over the write span, main_cpu_s that
#              of its main (window) thread alone, server_cpu_s and xvfb_cpu_s those of the
#              prefix's wineserver and of the X server over the same span; all read from /proc
#              every 20 ms and interpolated at first_s and last_s.
# window_s     interactive: the start of `wine` to the wizard's window (silent: -1).
# look_s       the median duration of one look at the end (after the last file).
MEASURE=$TMP/measure.py
cat >"$MEASURE" <<'EOF'
import os, statistics, subprocess, sys, threading, time

(mode, exe, exe_win, windriver, caption, folder, folder_win, files, xvfb_pid, log_base, gap_ms) = sys.argv[1:12]
files, gap = int(files), int(gap_ms) / 1000.0
prefix = os.environ["WINEPREFIX"]
TICK = os.sysconf("SC_CLK_TCK")
DEADLINE_S = 900

def fail(message):
    sys.stderr.write("wizard bench: %s\n" % message)
    sys.exit(1)

def in_prefix(pid):
    try:
        return ("WINEPREFIX=%s" % prefix).encode() in open("/proc/%s/environ" % pid, "rb").read().split(b"\0")
    except OSError:
        return False

def find_pid(match):
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            argv0 = open("/proc/%s/cmdline" % entry, "rb").read().split(b"\0")[0]
        except OSError:
            continue
        if match(argv0.decode("utf-8", "replace").replace("\\", "/").lower()) and in_prefix(entry):
            return entry
    return None

def cpu_of(path):
    try:
        fields = open(path).read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / TICK
    except (OSError, IndexError, ValueError):
        return None

server_pid = find_pid(lambda argv0: os.path.basename(argv0).startswith("wineserver"))
if server_pid is None:
    fail("cannot find the prefix's wineserver")

# (time, setup cpu, main thread cpu, server cpu, xvfb cpu), one every 20 ms.
samples = []
done = threading.Event()

def sample(start):
    setup_pid = None
    while not done.is_set():
        if setup_pid is None:
            setup_pid = find_pid(lambda argv0: argv0.endswith("/" + exe.lower()))
        now = time.monotonic() - start
        setup = cpu_of("/proc/%s/stat" % setup_pid) if setup_pid else None
        main = cpu_of("/proc/%s/task/%s/stat" % (setup_pid, setup_pid)) if setup_pid else None
        samples.append((now, setup, main, cpu_of("/proc/%s/stat" % server_pid), cpu_of("/proc/%s/stat" % xvfb_pid)))
        done.wait(0.02)

def at(t, column):
    """The column's value at time t, interpolated between the samples around it."""
    known = [(s[0], s[column]) for s in samples if s[column] is not None]
    if not known:
        return float("nan")
    before = [k for k in known if k[0] <= t]
    after = [k for k in known if k[0] >= t]
    if not before:
        return after[0][1]
    if not after:
        return before[-1][1]
    (t0, v0), (t1, v1) = before[-1], after[0]
    return v0 if t1 == t0 else v0 + (v1 - v0) * (t - t0) / (t1 - t0)

runs = [0]

def driver(*args, check=True):
    """Runs windriver.exe once; its output goes to a file (Wine's services may hold a pipe)."""
    runs[0] += 1
    out = "%s.driver%d" % (log_base, runs[0])
    with open(out, "wb") as log:
        code = subprocess.call(["wine", windriver] + list(args), stdin=subprocess.DEVNULL, stdout=log,
                               stderr=subprocess.STDOUT)
    text = open(out, "rb").read().decode("utf-8", "replace")
    os.remove(out)
    if check and code != 0:
        fail("windriver %s failed: %s" % (" ".join(args), text.strip()))
    return code, text

def rows(text):
    return [line.rstrip("\r").split("\t") for line in text.splitlines()]

def has_button(text, label):
    return any(len(r) >= 3 and r[0].lower() == "button" and r[2] == label for r in rows(text))

def count_files():
    return sum(len(names) for _, _, names in os.walk(folder))

looks = []

def watch(setup, look_caption, seen, clock):
    """Waits until the tree holds every file, then looks at the window until seen(texts)
    holds; returns (middle, half width) on clock. Until the last file is there the end cannot
    come, and looking sooner would load the install being measured."""
    while count_files() < files:
        if setup.poll() is not None:
            fail("the setup ended (exit code %d) with %d of %d files" % (setup.returncode, count_files(), files))
        if clock() > DEADLINE_S:
            fail("the install did not write its %d files within %d s" % (files, DEADLINE_S))
        time.sleep(0.05)
    previous_end = clock()
    while True:
        if setup.poll() is not None:
            fail("the setup ended (exit code %d) before %s showed" % (setup.returncode, look_caption))
        if clock() > DEADLINE_S:
            fail("%s did not show within %d s" % (look_caption, DEADLINE_S))
        begin = clock()
        code, text = driver("texts", look_caption, check=False)
        end = clock()
        looks.append(end - begin)
        if code == 0 and seen(text):
            with open(log_base + ".seen", "w") as seen_log:
                seen_log.write(text)
            return (previous_end + end) / 2, (end - previous_end) / 2
        previous_end = end
        time.sleep(gap)

def tree_times():
    times = []
    for directory, _, names in os.walk(folder):
        times.extend(os.stat(os.path.join(directory, name)).st_mtime for name in names)
    if not times:
        fail("the install left no files in %s" % folder)
    return min(times), max(times)

with open(log_base + ".setup", "wb") as setup_log:
    start = time.monotonic()
    wall_offset = time.time() - start
    args = ["wine", exe_win] + (["-silent"] if mode == "silent" else [])
    setup = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=setup_log, stderr=subprocess.STDOUT)
    sampler = threading.Thread(target=sample, args=(start,))
    sampler.start()
    try:
        window = -1.0
        if mode == "silent":
            zero = 0.0
            signal, signal_err = watch(setup, "Information", lambda text: "Compleated" in text,
                                       lambda: time.monotonic() - start)
            driver("press", "Information", "OK")
        else:
            driver("wait", caption, "120000")
            window = time.monotonic() - start
            # Next > up to the patch page, whose Next button reads "Install". A surplus press
            # finds no "Next >" there and cannot go further.
            for _ in range(10):
                _, text = driver("texts", caption)
                if has_button(text, "Install"):
                    break
                driver("press", caption, "Next >")
            else:
                fail("no Install button after pressing Next > ten times")
            if not any(len(r) >= 3 and r[0] == "Edit" and r[2] == folder_win for r in rows(text)):
                fail("the install folder field does not read %s" % folder_win)
            driver("press", caption, "Install")
            zero = time.monotonic() - start
            signal, signal_err = watch(setup, caption, lambda text: has_button(text, "Finish"),
                                       lambda: time.monotonic() - start - zero)
            # The caption changes as the page is shown; the button may need a moment to be.
            for attempt in range(50):
                code, text = driver("press", caption, "Finish", check=attempt == 49)
                if code == 0:
                    break
                time.sleep(0.1)
        _, status, usage = os.wait4(setup.pid, 0)
        whole = time.monotonic() - start
        setup.returncode = code = os.waitstatus_to_exitcode(status)
    finally:
        done.set()
        sampler.join()
        if setup.poll() is None:
            setup.kill()
            setup.wait()

# File times are wall-clock times; on the monotonic clock of the samples, from the start.
first, last = (t - wall_offset - start for t in tree_times())
def over_span(column):
    return at(last, column) - at(first, column)
print("%.3f %.3f %.3f %.3f %.3f %.3f %.3f %.3f %.3f %.3f %.3f %d" % (
    whole, signal, signal_err, first - zero, last - zero, over_span(1), over_span(2),
    over_span(3), over_span(4), window, statistics.median(looks), code))
EOF

RESULTS=$WORK/wizard_bench.results
: >"$RESULTS"

# install SIDE ROUND: moves the previous install away, flushes the disk, installs and
# measures; ROUND 0 is the untimed warm-up. Timed rounds go to RESULTS as
# "side round" followed by the helper's figures.
install() {
  local side=$1 round=$2 figures log=$TMP/logs/$1.$2
  bench_move_away "$INSTALL_DIR" "$side.$round"
  figures=$(python3 "$MEASURE" "$side" "$EXE" "C:\\bench\\$EXE" "$BIN/windriver.exe" "$CAPTION" "$INSTALL_DIR" \
    "$INSTALL_DIR_WIN" "$PAYLOAD_FILES" "$XVFB_PID" "$log" "$POLL_GAP_MS") || bench_fail "the $side install of round $round failed"
  local whole signal signal_err first last code
  read -r whole signal signal_err first last _ _ _ _ _ _ code <<<"$figures"
  [ "$code" = 0 ] || bench_fail "the $side setup ended with exit code $code: $(tail -5 "$log.setup")"
  bench_check_tree "$side" "$INSTALL_DIR"
  if [ "$round" -eq 0 ]; then
    printf 'wizard bench:   warm-up %-11s end seen at %5.2f s (not counted)\n' "$side" "$signal"
    return
  fi
  echo "$side $round $figures" >>"$RESULTS"
  printf 'wizard bench:   round %d %-11s end seen at %5.2f s +- %4.2f, files %5.2f-%5.2f s, whole %5.2f s\n' \
    "$round" "$side" "$signal" "$signal_err" "$first" "$last" "$whole"
}

echo "wizard bench: $PAYLOAD_FILES files, $PAYLOAD_BYTES bytes; $(nproc) cores; $ROUNDS rounds of each side"
echo "wizard bench: setup = $EXE ($(stat -c %s "$WORK/$EXE") bytes, setupbuild -q), layout default, English"
echo "wizard bench: $(wine --version) prefix $WINEARCH, windows placed by Wine, load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "wizard bench: windows watched with windriver.exe texts every ${POLL_GAP_MS} ms after the last look ended"
echo "wizard bench: every install checked against $PAYLOAD.manifest"

# One untimed install of each side: the first start of a program in a new prefix pays for Wine
# setting itself up.
install silent 0
install interactive 0
bench_take_turns install silent interactive
echo "wizard bench: load $(cut -d' ' -f1-3 /proc/loadavg) at the end"

python3 - "$RESULTS" <<'EOF'
import statistics, sys

names = ("whole", "signal", "signal_err", "first", "last", "cpu", "main", "server", "xvfb", "window", "look")
rows = {}
for line in open(sys.argv[1]):
    parts = line.split()
    values = dict(zip(names, map(float, parts[2:13])))
    values["span"] = values["last"] - values["first"]
    rows.setdefault(parts[0], []).append(values)

def median(side, key):
    return statistics.median(r[key] for r in rows[side])

silent, clicked = rows["silent"], rows["interactive"]
print()
print("what each clock measures:")
print("  silent       start of wine -> Compleated box seen (box), -> process end (whole)")
print("  interactive  Install pressed -> Finish button seen (box column)")
print("  write span   first -> last file written (file times), the same work on both sides")
print()
print("%-11s %6s %7s %8s %8s %8s %8s %8s %8s %8s %7s" % (
    "side", "rounds", "box s", "+-", "whole s", "first s", "span s", "cpu s", "main s", "server s", "xvfb s"))
for side in ("silent", "interactive"):
    print("%-11s %6d %7.2f %8.2f %8s %8.2f %8.2f %8.2f %8.2f %8.2f %7.2f" % (
        side, len(rows[side]), median(side, "signal"), median(side, "signal_err"),
        "%.2f" % median(side, "whole") if side == "silent" else "-", median(side, "first"),
        median(side, "span"), median(side, "cpu"), median(side, "main"), median(side, "server"),
        median(side, "xvfb")))
print("(cpu, main, server and xvfb: CPU seconds of the setup process, its window thread, the wineserver and")
print(" the X server over the write span; one look at the windows took %.2f s silent, %.2f s interactive)" % (
    median("silent", "look"), median("interactive", "look")))
print("interactive: window %.2f s after start, whole process %.2f s with the clicks" % (
    median("interactive", "window"), median("interactive", "whole")))
print()
print("round  silent box  interactive box  ratio   silent span  interactive span  ratio")
for i, (s, c) in enumerate(zip(silent, clicked), 1):
    print("%5d  %10.2f  %15.2f  %5.2f   %11.2f  %16.2f  %5.2f" % (
        i, s["signal"], c["signal"], c["signal"] / s["signal"], s["span"], c["span"], c["span"] / s["span"]))
print()
print("interactive / silent, medians:")
print("  Install -> Finish against start -> Compleated: %.2f (silent's clock also holds Wine's start and"
      % (median("interactive", "signal") / median("silent", "signal")))
print("    the package check, %.2f s before its first file against %.2f s after Install)" % (
    median("silent", "first"), median("interactive", "first")))
print("  write span: %.2f" % (median("interactive", "span") / median("silent", "span")))
print("goal: interactive no more than 1.10 times silent")
EOF
