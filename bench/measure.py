"""Runs one Windows program under Wine and prints what it cost, on one line:

    wall_s folder_s answered_s peak_kib children_kib cpu_s exit_code

    python3 bench/measure.py EXE FOLDER LOG_BASE [ANSWER_COMMAND...] -- COMMAND...

EXE is the program's file name (its Linux process is the one whose command line starts with a
path ending in it); FOLDER the folder to watch; COMMAND what starts it (`wine PROGRAM ARGS`).
ANSWER_COMMAND, when given, is run beside it to answer its closing box (windriver.exe answer
...), attempt after attempt while the program runs. Their output goes to LOG_BASE.program and
LOG_BASE.answer.

wall_s        start of COMMAND to its end (wine returns when the program ends);
folder_s      when FOLDER first existed (-1 if never; for an uninstall, see gone_s below);
answered_s    when ANSWER_COMMAND succeeded (-1 without one or when it never did);
peak_kib      the largest VmHWM of the program's own process, read every 20 ms;
children_kib  the kernel's account of the finished COMMAND and what it waited for (ru_maxrss),
              a cross-check of peak_kib: Wine runs the program in a child of `wine`;
cpu_s         user + system time of the same (Wine's server, which makes the files, is not in
              it);
exit_code     COMMAND's.

With --gone, folder_s is instead when FOLDER was last seen, that is when it went: an
uninstaller that removes its folder.
"""
import os, subprocess, sys, threading, time

args = sys.argv[1:]
watch_gone = args[:1] == ["--gone"]
if watch_gone:
    args = args[1:]
exe, folder, log_base = args[0].lower(), args[1], args[2]
rest = args[3:]
split = rest.index("--")
answer_cmd, cmd = rest[:split], rest[split + 1:]

peaks = {}
folder_seen = [-1.0]
answered = [-1.0]
done = threading.Event()


def program_pids():
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            argv0 = open("/proc/%s/cmdline" % entry, "rb").read().split(b"\0")[0]
        except OSError:
            continue
        if argv0.decode("utf-8", "replace").replace("\\", "/").lower().endswith("/" + exe):
            found.append(entry)
    return found


def sample(start):
    pids = []
    scans = 0
    while not done.is_set():
        # Look for the process until it is there, then again now and then (it is one process).
        if not pids or scans % 25 == 0:
            pids = program_pids() or pids
        scans += 1
        for pid in pids:
            try:
                for line in open("/proc/%s/status" % pid):
                    if line.startswith("VmHWM:"):
                        peaks[pid] = max(peaks.get(pid, 0), int(line.split()[1]))
                        break
            except OSError:
                pass
        if watch_gone:
            if os.path.isdir(folder):
                folder_seen[0] = time.monotonic() - start
        elif folder_seen[0] < 0 and os.path.isdir(folder):
            folder_seen[0] = time.monotonic() - start
        done.wait(0.02)


answerer_process = []


def answer(start):
    # windriver can find the box before it answers for its texts (it then sees no OK button and
    # fails): look again while the program runs. Every attempt's output stays in the log.
    with open(log_base + ".answer", "wb") as log:
        while not done.is_set():
            process = subprocess.Popen(answer_cmd, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
            answerer_process[:] = [process]
            if process.wait() == 0:
                answered[0] = time.monotonic() - start
                return
            done.wait(0.5)


with open(log_base + ".program", "wb") as log:
    start = time.monotonic()
    program = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
    sampler = threading.Thread(target=sample, args=(start,))
    sampler.start()
    answerer = None
    if answer_cmd:
        answerer = threading.Thread(target=answer, args=(start,))
        answerer.start()
    # The program's own account, apart from the answerer's: wait4 on it.
    _, status, usage = os.wait4(program.pid, 0)
    wall = time.monotonic() - start
    program.returncode = code = os.waitstatus_to_exitcode(status)
    done.set()
    sampler.join()
    if answerer:
        # The program ended before its box was answered (it failed): do not wait for the
        # answerer's time-out.
        answerer.join(5)
        for process in answerer_process:
            if process.poll() is None:
                process.kill()
        answerer.join()
print("%.3f %.3f %.3f %d %d %.3f %d" % (wall, folder_seen[0], answered[0], max(peaks.values(), default=0),
                                       usage.ru_maxrss, usage.ru_utime + usage.ru_stime, code))
