#!/usr/bin/env python3
"""Follows a setup.exe running under Wine from outside, to kill it at a chosen moment.

  setup_watch.py record PIDFILE FOLDER OUT
      takes stock of the files below FOLDER, writes OUT.ready, waits for PIDFILE to name the
      process, then samples it and the files until it ends. OUT gets a line per change seen,
      "LOW HIGH SECONDS EVENT PATH" (EVENT "appear", "change" or "vanish", PATH relative to
      FOLDER), the change made while the process had written between LOW and HIGH bytes, and
      last "BYTES BYTES SECONDS end -".
  setup_watch.py kill PIDFILE BYTES [GONE] OUT
      writes OUT.ready, waits for PIDFILE, then sends SIGKILL the moment the process has written
      BYTES bytes (and the file GONE, when named, does not exist). OUT gets "killed BYTES
      SECONDS", "ended BYTES SECONDS" when it ended first, or "late BYTES SECONDS" when it had
      not got that far after DEADLINE_S and was killed anyway.

BYTES is what the process has written so far (wchar in /proc/PID/io): a measure of progress that
the machine's load does not shift, as the same setup on the same files writes the same bytes in
the same order (give or take a few kilobytes of messages to the Wine server and the X display).
PID is the Linux process `wine PROGRAM` started: Wine's loader execs itself in that process and
runs the Windows program there, so SIGKILL ends the program at once, without any of its own
code running; the Wine server sees the process's connection close and cleans up after it.
"""
import os
import signal
import sys
import time

PERIOD_S = 0.001
# Longer than any run of the case, shorter than the time after which the case gives up on one.
DEADLINE_S = 20


def written(pid):
    """The bytes the process has written, or None once it has ended."""
    try:
        with open("/proc/%d/stat" % pid) as stat:
            if stat.read().rsplit(") ", 1)[1][0] in "ZX":
                return None
        with open("/proc/%d/io" % pid) as io:
            for line in io:
                if line.startswith("wchar:"):
                    return int(line.split()[1])
    except (FileNotFoundError, ProcessLookupError, IndexError):
        return None
    return None


def wait_for_pid(pidfile, out):
    open(out + ".ready", "w").close()
    deadline = time.monotonic() + DEADLINE_S
    while time.monotonic() < deadline:
        try:
            with open(pidfile) as f:
                text = f.read().strip()
            if text:
                return int(text)
        except FileNotFoundError:
            pass
        time.sleep(PERIOD_S)
    sys.exit("setup_watch: %s did not name a process within %d s" % (pidfile, DEADLINE_S))


def snapshot(folder):
    files = {}
    for top, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(top, name)
            try:
                st = os.stat(path)
            except FileNotFoundError:
                continue
            files[os.path.relpath(path, folder)] = (st.st_size, st.st_mtime_ns)
    return files


def record(pidfile, folder, out):
    before = snapshot(folder)
    pid = wait_for_pid(pidfile, out)
    start = time.monotonic()
    lines = []
    # A change first seen in a sample was made after the previous sample's files were read and
    # before this one's were: the bytes counted just before the one and just after the other.
    low = 0
    high = 0
    running = True
    while running:
        bytes_before = written(pid)
        now = snapshot(folder)
        bytes_after = written(pid)
        running = bytes_after is not None
        high = bytes_after if running else high
        seconds = time.monotonic() - start
        for path in sorted(set(before) | set(now)):
            if path not in before:
                event = "appear"
            elif path not in now:
                event = "vanish"
            elif before[path] != now[path]:
                event = "change"
            else:
                continue
            lines.append("%d %d %.3f %s %s\n" % (low, high, seconds, event, path))
        before = now
        low = bytes_before if bytes_before is not None else high
        time.sleep(PERIOD_S)
    lines.append("%d %d %.3f end -\n" % (high, high, time.monotonic() - start))
    with open(out, "w") as f:
        f.writelines(lines)


def kill(pidfile, target, gone, out):
    pid = wait_for_pid(pidfile, out)
    start = time.monotonic()
    bytes_then = 0
    while True:
        bytes_now = written(pid)
        seconds = time.monotonic() - start
        if bytes_now is None:
            result = "ended"
            break
        bytes_then = bytes_now
        reached = bytes_now >= target and not (gone and os.path.exists(gone))
        if reached or seconds > DEADLINE_S:
            os.kill(pid, signal.SIGKILL)
            result = "killed" if reached else "late"
            break
        time.sleep(PERIOD_S)
    with open(out, "w") as f:
        f.write("%s %d %.3f\n" % (result, bytes_then, seconds))


def main(argv):
    if len(argv) == 5 and argv[1] == "record":
        record(argv[2], argv[3], argv[4])
    elif len(argv) in (5, 6) and argv[1] == "kill":
        kill(argv[2], int(argv[3]), argv[4] if len(argv) == 6 else None, argv[-1])
    else:
        sys.stderr.write(__doc__)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
