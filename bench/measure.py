#!/usr/bin/python3
# SPDX-License-Identifier: Zlib
"""The measuring half of bench/run (see its header for what is measured and why).

bench/run parses the command line, installs what is missing, builds the
release preset and then runs this program from the repository's root with
its settings resolved to numbers. This program makes the test files, times
every tool, checks every tool's output, and writes results.md and
results.svg through report.py. Python 3's standard library only.
"""
import argparse
import ctypes
import os
import random
import re
import shutil
import shlex
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field

from report import Report, fmt_mbs, fmt_mib, fmt_ratio, fmt_s, median_us
from report import write_chart, write_results

MIB = 1048576


def progress(text):
    print(time.strftime("[%H:%M:%S] ") + text, file=sys.stderr, flush=True)


def die(text):
    print("bench/run: " + text, file=sys.stderr, flush=True)
    sys.exit(1)


# --- settings and places ----------------------------------------------------------


def parse_arguments(argv):
    parser = argparse.ArgumentParser(prog="bench/measure.py", description=__doc__)
    parser.add_argument("--runs", type=int, required=True)
    parser.add_argument("--mib", type=int, required=True)
    parser.add_argument("--copy-mib", type=int, required=True)
    parser.add_argument("--files", type=int, required=True)
    parser.add_argument("--many", type=int, required=True, help="files of the many-files case")
    parser.add_argument("--neighbour-mib", type=int, required=True,
                        help="what the neighbour of the many-files case writes, unsynced")
    parser.add_argument("--memory-mib", required=True, help='sizes in MiB, such as "64 256 1024"')
    parser.add_argument("--cap-s", type=int, required=True)
    parser.add_argument("--only", required=True,
                        help="some of subst,matching,text,copy,sparse,tree,reflink,memory,many"
                             " (subst includes matching and text; copy includes sparse, tree and"
                             " reflink)")
    parser.add_argument("--out", required=True)
    parser.add_argument("--started", type=float, required=True,
                        help="when bench/run started, in seconds since the epoch")
    parser.add_argument("--arguments", default="", help="bench/run's command line, for the report")
    settings = parser.parse_args(argv)
    settings.memory_mib = [int(size) for size in settings.memory_mib.split()]
    settings.only = settings.only.split(",")
    return settings


@dataclass
class Bench:
    """What every section needs: the settings, the programs, the work
    directory and the report being written."""
    settings: argparse.Namespace
    repo: str
    work: str
    report: Report = field(default_factory=Report)
    subst_chart: list = None  # MB/s per case (rows) and tool (columns)
    copy_chart: list = None

    def path(self, *names):
        return os.path.join(self.work, *names)

    def program(self, relative):
        return built(self.repo, relative)

    def section(self, name):
        return name in self.settings.only


def built(repo, relative):
    """A program of the release build."""
    return os.path.join(repo, "build", "release", relative)


def check_programs(repo):
    for relative in ("bench/subst_driver", "bench/copy_driver", "bench/transaction_driver",
                     "kivsubst/kivsubst", "kivcopy/kivcopy"):
        if not os.access(built(repo, relative), os.X_OK):
            die("not built: " + built(repo, relative))


def source_state(repo):
    """Which code was measured: the commit, and whether the libraries or the
    front ends differed from it in the working tree."""
    def git(*argv):
        done = subprocess.run(["git", "-C", repo, *argv], stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, text=True)
        return done.stdout.strip() if done.returncode == 0 else ""
    state = "commit " + (git("rev-parse", "--short", "HEAD") or "unknown")
    if git("status", "--porcelain", "--", "kivcopy", "kivsubst"):
        return state + ", with uncommitted changes in kivcopy/ or kivsubst/"
    return state + ", kivcopy/ and kivsubst/ as committed"


def make_work_directory(repo):
    """On the repository's disk, not in /tmp (often a RAM file system); the
    library's TMP points into it, so the temporary file lands on the same
    file system as the file, as it does for an installer whose TMP is on the
    installation disk."""
    os.makedirs(os.path.join(repo, "build"), exist_ok=True)
    work = tempfile.mkdtemp(prefix="bench-work.", dir=os.path.join(repo, "build"))
    os.environ["TMP"] = os.path.join(work, "tmp")
    os.mkdir(os.environ["TMP"])
    return work


def check_space(bench):
    """Room for the largest moment: the memory section's original, file and
    temporary file, or the copy's source and copy."""
    s = bench.settings
    largest = 3 * s.mib
    if bench.section("memory"):
        largest = max([largest] + [3 * size for size in s.memory_mib])
    if bench.section("copy"):
        largest = max(largest, 2 * s.copy_mib)
    stat = os.statvfs(bench.work)
    free_kib = stat.f_bavail * stat.f_frsize // 1024
    need_kib = (largest + 256) * 1024
    if free_kib < need_kib:
        die("needs %d MiB free in %s, has %d MiB" % (need_kib // 1024, bench.work, free_kib // 1024))


# --- running things -----------------------------------------------------------------


@dataclass
class Run:
    us: int       # wall time, start-up included
    rc: int       # exit status as a shell gives it
    rss_kib: int  # peak resident set of the largest process the command ran
    cpu_us: int = 0  # user and system time of the tool itself


def exit_status(status):
    """The exit code, or 128 and the number of the signal that ended it."""
    code = os.waitstatus_to_exitcode(status)
    return 128 - code if code < 0 else code


# Peak memory, and why tools are started through a launcher. Linux starts a
# process's ru_maxrss at the peak of the memory image it was forked from (exec
# records the old image's peak), so a tool started straight from this
# interpreter would show the interpreter's own tens of MiB. A small launcher,
# setsid --fork, forks the tool from its own image of about 1 MiB and exits at
# once; the tool, orphaned, comes to this process, which is its subreaper, and
# wait4 gives the tool's rusage. Its ru_maxrss is the largest of the tool's own
# peak and those of every descendant it waited for: for a tool run through
# timeout, a shell or xargs, the largest process the tool ran, as
# /usr/bin/time reported it. (getrusage(RUSAGE_CHILDREN) of this process would
# give the largest over all runs so far, which never goes down.)

PR_SET_CHILD_SUBREAPER = 36


def become_subreaper():
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        die("cannot receive the tools' orphaned processes: " + os.strerror(ctypes.get_errno()))


def wait_for_tool():
    """The launched tool's exit status and rusage. The tool leads a session of
    its own (setsid made it so); anything it left behind that exits first
    comes here too, and is reaped and passed over."""
    while True:
        pid = os.waitid(os.P_ALL, 0, os.WEXITED | os.WNOWAIT).si_pid
        leader = os.getsid(pid) == pid
        _, status, usage = os.wait4(pid, 0)
        if leader:
            return status, usage


def stop_tools():
    """After an interruption: the tool's session is out of the terminal's
    reach, so its process group is killed here before its files go."""
    me = str(os.getpid())
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/stat" % entry) as stat:
                parent = stat.read().rsplit(")", 1)[1].split()[1]
            if parent == me:
                os.killpg(int(entry), signal.SIGKILL)
        except OSError:
            pass
    while True:
        try:
            os.wait()
        except ChildProcessError:
            return


def timed(bench, argv):
    """Runs argv once, its output in the work directory's out and err. The
    clock is read here around the launch and the wait, so the time covers the
    whole process, start-up included, the same for every tool; the launcher
    adds one fork and exec to each. A tool that cannot be started exits 127."""
    create = os.O_WRONLY | os.O_CREAT | os.O_TRUNC
    actions = [(os.POSIX_SPAWN_OPEN, 1, bench.path("out"), create, 0o644),
               (os.POSIX_SPAWN_OPEN, 2, bench.path("err"), create, 0o644)]
    start = time.perf_counter_ns()
    launcher = os.posix_spawnp("setsid", ["setsid", "--fork"] + argv, os.environ, file_actions=actions)
    try:
        _, status, usage = os.wait4(launcher, 0)
        if exit_status(status) == 0:
            status, usage = wait_for_tool()
    except BaseException:
        stop_tools()
        raise
    cpu_us = int((usage.ru_utime + usage.ru_stime) * 1e6)
    return Run((time.perf_counter_ns() - start) // 1000, exit_status(status), usage.ru_maxrss, cpu_us)


def failure(bench, run):
    """The result cell of a run that exited with the wrong status."""
    with open(bench.path("err"), "rb") as err:
        head = err.read(200).replace(b"\n", b" ")
    return "failed: exit %d, %s" % (run.rc, head.decode("utf-8", "surrogateescape"))


def helper(*argv):
    """Runs one of the untimed steps, and gives back its standard output."""
    done = subprocess.run(argv, stdout=subprocess.PIPE)
    if done.returncode != 0:
        die("%s failed with exit status %d" % (" ".join(argv[:2]), done.returncode))
    return done.stdout.decode("utf-8", "surrogateescape")


def remove(*paths):
    for path in paths:
        if os.path.isdir(path) and not os.path.islink(path):
            shutil.rmtree(path)
        elif os.path.lexists(path):
            os.unlink(path)


def same_bytes(a, b):
    """Whether two files hold the same bytes (a missing one holds none)."""
    try:
        if os.path.getsize(a) != os.path.getsize(b):
            return False
        with open(a, "rb") as first, open(b, "rb") as second:
            while True:
                chunk = first.read(MIB)
                if chunk != second.read(MIB):
                    return False
                if not chunk:
                    return True
    except OSError:
        return False


def same_tree(a, b):
    """Whether two directories hold the same names with the same bytes."""
    try:
        names = sorted(os.listdir(a))
        if names != sorted(os.listdir(b)):
            return False
    except OSError:
        return False
    for name in names:
        x, y = os.path.join(a, name), os.path.join(b, name)
        if os.path.isdir(x) or os.path.isdir(y):
            if not (os.path.isdir(x) and os.path.isdir(y) and same_tree(x, y)):
                return False
        elif not same_bytes(x, y):
            return False
    return True


def read_through(paths):
    """Reads files once so that they are in the page cache."""
    for path in paths:
        with open(path, "rb") as source:
            while source.read(MIB):
                pass


def restore(bench):
    """Each run starts from the same bytes, cached and clean. The file lives
    alone in its directory, so that whatever a tool left (its output, the
    temporary file of a stopped run) goes with it; a file deleted before it
    was written out is never written, so a peer's unsynced output costs the
    next run nothing either."""
    remove(bench.path("case"))
    os.mkdir(bench.path("case"))
    helper("cp", bench.path("orig"), bench.path("case", "f"))
    os.sync()


def make_pattern(bench, length):
    helper(bench.program("bench/subst_driver"), "make-pattern", str(length),
           bench.path("pattern"), bench.path("replacement"))
    with open(bench.path("pattern"), "rb") as p, open(bench.path("replacement"), "rb") as r:
        return p.read(), r.read()


def make_file(bench, name, size, planted_path, spacing):
    """A generated file with planted_path's bytes every spacing bytes; gives
    back how many were planted."""
    said = helper(bench.program("bench/subst_driver"), "make-file", bench.path(name), str(size),
                  planted_path, str(spacing))
    return said.rstrip("\n").removeprefix("planted=")


# --- 1. substitution ----------------------------------------------------------------

SUBST_TOOLS = ["lib", "cli", "sed", "perl", "sd", "rpl", "bbe", "python", "copy2", "durable2"]
LABELS = {
    "lib": "ours: library, in-process",
    "cli": "ours: kivsubst front end",
    "sed": "sed -i",
    "perl": "perl -pi -e",
    "sd": "sd -s",
    "rpl": "rpl -F",
    "bbe": "bbe, then cp back",
    "python": "python3 bytes.replace",
    "copy2": "floor: 2 plain copies",
    "durable2": "floor: 2 durable copies",
}
# Short names for the chart's legend.
SHORT = {
    "lib": "ours (library)", "cli": "ours (front end)", "sed": "sed", "perl": "perl", "sd": "sd",
    "rpl": "rpl", "bbe": "bbe", "python": "python3", "copy2": "2 copies",
    "durable2": "2 durable copies",
}
# The peers, and the command each needs. The python3 rewrite runs under
# this very interpreter: bench/run picks Debian's own, not a version
# manager's shim in front of it, whose start-up would be timed too.
COMMANDS = {"sed": "sed", "perl": "perl", "sd": "sd", "rpl": "rpl", "bbe": "bbe",
            "python": sys.executable}

PY_REWRITE = """import sys
path, pattern, replacement = sys.argv[1:]
with open(pattern, "rb") as p, open(replacement, "rb") as r:
    old, new = p.read(), r.read()
with open(path, "rb") as f:
    data = f.read()
with open(path, "wb") as f:
    f.write(data.replace(old, new))"""


def subst_intro(cap_s):
    """The notes above the substitution's tables."""
    return [
        "× ours is the tool's median time over that of ours (the library, in-process); above 1 means",
        "slower than ours. MB/s is the file's size over the median time. Max RSS is the largest peak",
        "resident set over the runs (ru_maxrss), of the largest process the tool ran. Times are",
        "of the whole process. Ours and the durable floor include making the result durable; the",
        "other tools leave theirs in the page cache, which is not timed. A tool more than 3 times",
        "slower than ours in the first run is not run again (runs = 1), and a run longer than",
        "%d s is stopped (shown as > that time): more runs would not change which is faster." % cap_s,
        "Ours / durable floor is the library's median over the durable floor's. sed, perl, sd and",
        "rpl write a new file and rename it into place; ours and the others keep the file's inode.",
        "sd maps the file into memory, so its resident set counts the file's pages.",
    ]


@dataclass
class Case:
    length: int
    density: str      # dense, sparse or none
    where: str        # the occurrences, as the case's heading says them
    pattern: bytes
    replacement: bytes
    expected: str     # the file that holds the exact result
    ours_rc: int      # what replaceString returns on this file

    @property
    def name(self):
        return "len %d, %s" % (self.length, self.density)


@dataclass
class Tally:
    """One tool's runs of one case."""
    times: list = field(default_factory=list)
    cpu_times: list = field(default_factory=list)
    peak: int = 0
    result: str = ""
    stopped: bool = False
    once: bool = False  # not run again after the first run


def spacing_of(length, density):
    """Dense is one occurrence every 64 bytes, or every 2n bytes for long patterns."""
    dense = max(2 * length, 64)
    return {"dense": (dense, "one every %d bytes" % dense),
            "sparse": (65536, "one every 64 KiB"),
            "none": (0, "no occurrence")}[density]


def make_case(bench, length, density):
    """The pattern, the original file and the expected result of one case.
    The expected file is the same filler with the replacement planted
    instead of the pattern: the exact result, found without any search."""
    spacing, where = spacing_of(length, density)
    progress("subst len %d, %s: making the %d MiB file" % (length, density, bench.settings.mib))
    size = bench.settings.mib * MIB
    pattern, replacement = make_pattern(bench, length)
    planted = make_file(bench, "orig", size, bench.path("pattern"), spacing)
    if density == "none":
        expected, ours_rc = bench.path("orig"), 1
    else:
        make_file(bench, "expected", size, bench.path("replacement"), spacing)
        expected, ours_rc = bench.path("expected"), 0
        where += ", %s occurrences" % planted
    os.sync()
    return Case(length, density, where, pattern, replacement, expected, ours_rc)


def not_applicable(tool, case):
    """Why the tool cannot take this case, or nothing."""
    command = COMMANDS.get(tool)
    if command and shutil.which(command) is None:
        return "%s is not installed" % command
    if case.length == 1:
        byte = "0x" + case.pattern.hex().upper()
        if tool == "sd":
            return ("sd takes its arguments as UTF-8 text; the pattern, the single byte %s,"
                    " is not UTF-8" % byte)
        if tool == "rpl":
            return ("rpl decodes OLD and NEW as text; the single byte %s is not UTF-8"
                    " (with --encoding latin-1 it exits 0 and replaces nothing)" % byte)
    return ""


def escaped(data):
    """\\xHH for every byte, as bbe's s command takes them."""
    return "".join("\\x%02x" % byte for byte in data)


def subst_command(bench, tool, case):
    """One tool's command line on the case's file. The raw pattern goes into
    arguments byte for byte (fsdecode keeps bytes that are not UTF-8)."""
    f, t = bench.path("case", "f"), bench.path("case", "t")
    pattern, replacement = bench.path("pattern"), bench.path("replacement")
    raw_p, raw_r = os.fsdecode(case.pattern), os.fsdecode(case.replacement)
    if tool == "lib":
        return [bench.program("bench/subst_driver"), "replace", f, pattern, replacement,
                str(case.ours_rc)]
    if tool == "cli":
        return [bench.program("kivsubst/kivsubst"), "--hex", case.pattern.hex(),
                case.replacement.hex(), f]
    if tool == "sed":
        return ["sed", "-i", "s/%s/%s/g" % (raw_p, raw_r), f]
    if tool == "perl":
        return ["env", "P=" + raw_p, "R=" + raw_r, "perl", "-pi", "-e", r"s/\Q$ENV{P}\E/$ENV{R}/g", f]
    if tool == "sd":
        return ["sd", "-s", raw_p, raw_r, f]
    if tool == "rpl":
        return ["rpl", "-q", "--encoding", "utf-8", "--files", "-F", pattern, replacement, f]
    if tool == "bbe":
        return ["sh", "-c", 'bbe -e "$1" -o "$2" "$3" && cp "$2" "$3"', "sh",
                "s/%s/%s/" % (escaped(case.pattern), escaped(case.replacement)),
                bench.path("case", "bbe.out"), f]
    if tool == "python":
        return [sys.executable, "-c", PY_REWRITE, f, pattern, replacement]
    if tool == "copy2":
        return ["sh", "-c", 'cp "$1" "$2" && cp "$2" "$1"', "sh", f, t]
    return ["sh", "-c", 'cp "$1" "$2" && sync "$2" && cp "$2" "$1" && sync "$1"', "sh", f, t]


def check_subst(bench, tool, case, run):
    """Once per case, and untimed: did the tool do the replacement? The front
    end exits with the library's result; the driver exits 0 when the result
    was the expected one; the floors only copy, so the original is theirs."""
    want_rc = case.ours_rc if tool == "cli" else 0
    floor = tool in ("copy2", "durable2")
    if run.rc != want_rc:
        return failure(bench, run)
    if not same_bytes(bench.path("case", "f"), bench.path("orig") if floor else case.expected):
        return "wrong result"
    if floor and case.density != "none":
        return "ok (copies only)"
    return "ok"


def mark_slow(tallies, active):
    """After the first run: a peer more than 3 times slower than ours is not
    run again, since more runs would not change which is faster."""
    first_ours = tallies["lib"].times[0]
    for tool in active:
        if tool in COMMANDS and tallies[tool].times[0] > 3 * first_ours:
            tallies[tool].once = True


def run_subst_tool(bench, tool, case, tally, run_number):
    """One timed run of one tool, stopped after the cap; gives the progress text."""
    cap_s = bench.settings.cap_s
    restore(bench)
    run = timed(bench, ["timeout", "-k", "5", str(cap_s)] + subst_command(bench, tool, case))
    if run.rc in (124, 137):
        tally.stopped = tally.once = True
        tally.times, tally.peak = [run.us], run.rss_kib
        tally.result = "stopped after %d s, so not checked" % cap_s
    else:
        tally.times.append(run.us)
        tally.peak = max(tally.peak, run.rss_kib)
        if run_number == 1:
            tally.result = check_subst(bench, tool, case, run)
    return " %s %s" % (tool, fmt_s(run.us))


def measure_case(bench, case):
    """All runs of one case. The tools take turns, starting one further on
    each run; ours comes first in the first run."""
    tallies = {}
    for tool in SUBST_TOOLS:
        reason = not_applicable(tool, case)
        tallies[tool] = Tally(result="n/a: " + reason) if reason else Tally()
    active = [tool for tool in SUBST_TOOLS if not tallies[tool].result]
    runs = bench.settings.runs
    for run_number in range(1, runs + 1):
        line = ""
        for k in range(len(active)):
            tool = active[(k + run_number - 1) % len(active)]
            if run_number > 1 and tallies[tool].once:
                continue
            line += run_subst_tool(bench, tool, case, tallies[tool], run_number)
        progress("subst %s: run %d/%d:%s" % (case.name, run_number, runs, line))
        if run_number == 1:
            mark_slow(tallies, active)
    return tallies


def subst_row(tool, tally, ours_us, size):
    if not tally.times:
        return "| %s | — | — | — | — | — | %s |" % (LABELS[tool], tally.result)
    m = median_us(tally.times)
    cells = [fmt_s(m), fmt_ratio(m, ours_us), fmt_mbs(size, m)]
    if tally.stopped:
        cells = ["> " + cells[0], "> " + cells[1], "< " + cells[2]]
    return "| %s | %s | %s | %s | %s | %d | %s |" % (
        LABELS[tool], *cells, fmt_mib(tally.peak), len(tally.times), tally.result)


def note_subst(report, case, tool, tally, ours_us, cli_us):
    """The goals: faster than every peer that did the same work right, and
    every measured tool's result right."""
    if not tally.times:
        return
    m = median_us(tally.times)
    if tool in COMMANDS and tally.result == "ok":
        if m <= ours_us:
            report.miss("faster", "%s: %s %s s, ours (library) %s s"
                        % (case.name, LABELS[tool], fmt_s(m), fmt_s(ours_us)))
        if m <= cli_us:
            report.miss("faster", "%s: %s %s s, ours (front end) %s s"
                        % (case.name, LABELS[tool], fmt_s(m), fmt_s(cli_us)))
    if not tally.result.startswith(("ok", "stopped")):
        report.miss("correct", "%s: %s: %s" % (case.name, LABELS[tool], tally.result))


def report_case(bench, case, tallies):
    """The case's table, its chart row and its notes; gives ours / durable floor."""
    report, size = bench.report, bench.settings.mib * MIB
    ours_us = median_us(tallies["lib"].times)
    cli_us = median_us(tallies["cli"].times)
    floor_ratio = fmt_ratio(ours_us, median_us(tallies["durable2"].times))
    report.emit("### %s: %s; ours / durable floor = %s" % (case.name, case.where, floor_ratio), "",
                "| tool | median s | × ours | MB/s | max RSS MiB | runs | result |",
                "|---|---:|---:|---:|---:|---:|---|")
    row = ["%d %s" % (case.length, case.density)]
    for tool in SUBST_TOOLS:
        tally = tallies[tool]
        report.emit(subst_row(tool, tally, ours_us, size))
        ok = tally.times and tally.result.startswith("ok")
        row.append(fmt_mbs(size, median_us(tally.times)) if ok else "-")
        note_subst(report, case, tool, tally, ours_us, cli_us)
    bench.subst_chart.append(row)
    if float(floor_ratio) > 1.5:
        report.miss("floor", "%s: ours / durable floor = %s" % (case.name, floor_ratio))
    report.emit("")
    return floor_ratio


def measure_substitution(bench):
    """Every pattern length and density; gives ours / durable floor per case."""
    s = bench.settings
    bench.report.emit("## Substitution: one %d MiB file, median of %d runs" % (s.mib, s.runs), "")
    bench.report.emit(*subst_intro(s.cap_s), "")
    bench.subst_chart = [["case"] + [SHORT[tool] for tool in SUBST_TOOLS]]
    ratios = []
    for length in (1, 16, 256, 4096):
        for density in ("dense", "sparse", "none"):
            case = make_case(bench, length, density)
            ratios.append(report_case(bench, case, measure_case(bench, case)))
            remove(bench.path("orig"), bench.path("expected"), bench.path("case"))
    return ratios


# --- 1b. substitution with -i and -w --------------------------------------------------

MATCH_NEEDLE = b"KivBenchNeedle01"
MATCH_SEARCHED = b"kivbenchneedle01"  # what -i and sed's I flag are given
MATCH_REPLACEMENT = b"ReplacedNeedle16"
MATCH_TOOLS = ["exact", "i", "w", "iw", "sed", "sed_i", "sed_w", "sed_iw", "perl_i"]
MATCH_LABELS = {
    "exact": "ours: kivsubst (exact)",
    "i": "ours: kivsubst -i",
    "w": "ours: kivsubst -w",
    "iw": "ours: kivsubst -i -w",
    "sed": "sed -i s/P/R/g",
    "sed_i": "sed -i s/P/R/gI",
    "sed_w": "sed -i s/\\bP\\b/R/g",
    "sed_iw": "sed -i s/\\bP\\b/R/gI",
    "perl_i": "perl -pi -e s/P/R/gi",
}


def take_turns(bench, tools, command_of, label, judge, shown=lambda run: run.us,
               prepare=restore, measured=lambda run: run.us):
    """Each of `tools` once a round, from the restored original (or after
    `prepare(bench)`), each round started by the next tool, so that none
    always runs first; the first round's runs are judged by `judge(tool,
    run)`. A run's time is `measured(run)`, by default the whole process's.
    Returns the tallies."""
    s = bench.settings
    tallies = {tool: Tally() for tool in tools}
    for run_number in range(1, s.runs + 1):
        line = ""
        for k in range(len(tools)):
            tool = tools[(k + run_number - 1) % len(tools)]
            tally = tallies[tool]
            prepare(bench)
            run = timed(bench, ["timeout", "-k", "5", str(s.cap_s)] + command_of(bench, tool))
            tally.times.append(measured(run))
            tally.cpu_times.append(run.cpu_us)
            tally.peak = max(tally.peak, run.rss_kib)
            if run_number == 1:
                tally.result = judge(tool, run)
            line += " %s %s" % (tool, fmt_s(shown(run)))
        progress("%s: run %d/%d:%s" % (label, run_number, s.runs, line))
    return tallies


def matching_command(bench, tool):
    """One tool's command line for the case with -i and -w. The exact ones
    are given the needle as planted, the others in small letters."""
    f = bench.path("case", "f")
    needle, searched = MATCH_NEEDLE.decode(), MATCH_SEARCHED.decode()
    new = MATCH_REPLACEMENT.decode()
    ours = bench.program("kivsubst/kivsubst")
    return {
        "exact": [ours, "--", needle, new, f],
        "i": [ours, "-i", "--", searched, new, f],
        "w": [ours, "-w", "--", needle, new, f],
        "iw": [ours, "-i", "-w", "--", searched, new, f],
        "sed": ["sed", "-i", "s/%s/%s/g" % (needle, new), f],
        "sed_i": ["sed", "-i", "s/%s/%s/gI" % (searched, new), f],
        "sed_w": ["sed", "-i", "s/\\b%s\\b/%s/g" % (needle, new), f],
        "sed_iw": ["sed", "-i", "s/\\b%s\\b/%s/gI" % (searched, new), f],
        "perl_i": ["perl", "-pi", "-e", "s/%s/%s/gi" % (searched, new), f],
    }[tool]


def measure_matching(bench):
    """The front end with -i, -w and both on the same file as without them,
    beside sed's I flag and \\b and perl's /i. Each copy of the needle is
    planted with a space on either side, so that every one of them is a
    whole word, and the expected file is made as for the other cases, with
    the replacement planted instead: all nine tools replace every copy.
    The locale is C (bench/run sets it), where sed's I flag and \\b know
    only ASCII letters, as ours do."""
    s = bench.settings
    size = s.mib * MIB
    report = bench.report
    report.emit("## Substitution with -i and -w: one %d MiB file, median of %d runs" % (s.mib, s.runs),
                "",
                "The front end with and without its options for case and whole words, beside sed -i",
                "with its I flag and \\b and perl -pi with /i, on a 16-byte needle of ASCII letters",
                "planted with a space on either side. × exact is the tool's median time over that of",
                "kivsubst without options; MB/s is the file's size over the median time; max RSS is",
                "the largest peak resident set over the runs. Ours includes making the result",
                "durable; the peers leave theirs in the page cache.", "")
    with open(bench.path("pattern"), "wb") as planted:
        planted.write(b" " + MATCH_NEEDLE + b" ")
    with open(bench.path("replacement"), "wb") as planted:
        planted.write(b" " + MATCH_REPLACEMENT + b" ")
    for density in ("dense", "sparse"):
        spacing, where = spacing_of(len(MATCH_NEEDLE), density)
        progress("matching %s: making the %d MiB file" % (density, s.mib))
        count = make_file(bench, "orig", size, bench.path("pattern"), spacing)
        make_file(bench, "expected", size, bench.path("replacement"), spacing)
        os.sync()
        expected = bench.path("expected")
        tallies = take_turns(
            bench, MATCH_TOOLS, matching_command, "matching %s" % density,
            lambda tool, run: failure(bench, run) if run.rc != 0 else
            "ok" if same_bytes(bench.path("case", "f"), expected) else "wrong result")
        exact_us = median_us(tallies["exact"].times)
        report.emit("### len 16, %s: %s, %s occurrences" % (density, where, count), "",
                    "| tool | median s | × exact | MB/s | max RSS MiB | runs | result |",
                    "|---|---:|---:|---:|---:|---:|---|")
        for tool in MATCH_TOOLS:
            tally = tallies[tool]
            m = median_us(tally.times)
            report.emit("| %s | %s | %s | %s | %s | %d | %s |" % (
                MATCH_LABELS[tool], fmt_s(m), fmt_ratio(m, exact_us), fmt_mbs(size, m),
                fmt_mib(tally.peak), len(tally.times), tally.result))
            if tally.result != "ok":
                report.miss("correct", "matching %s: %s: %s" % (density, MATCH_LABELS[tool], tally.result))
        report.emit("")
        remove(bench.path("orig"), bench.path("expected"), bench.path("case"))
    measure_word_pairs(bench)


# --- 1c. text in the file's own encoding --------------------------------------------

TEXT_NEEDLE = "KivBenchNeedle01"
TEXT_REPLACEMENT = "ReplacedNeedle16"
TEXT_TOOLS = ["string", "text"]
TEXT_LABELS = {"string": "ours: replaceString, the UTF-16LE bytes",
               "text": "ours: replaceText, encoding 0 (the mark)"}


def write_utf16_file(path, size, needle, spacing):
    """A UTF-16LE file with its mark, of `size` bytes: lines of text, with
    `needle` planted at the start of every `spacing` bytes (even offsets)."""
    line = "path=C:\\Program Files\\Example \u4e00\u4e8c\u0141\u00f3d\u017a\r\n"
    filler = (line * (spacing // len(line) + 2)).encode("utf-16-le")
    unit = needle.encode("utf-16-le") + filler[:spacing - 2 * len(needle)]
    with open(path, "wb") as out:
        out.write(b"\xff\xfe")
        body = size - 2
        repeated = unit * max(1, (4 * MIB) // len(unit))
        while body > 0:
            piece = repeated[:body]
            out.write(piece)
            body -= len(piece)


def measure_text(bench):
    """replaceText beside replaceString on the same 256 MiB UTF-16LE file
    with its mark, in-process through subst_driver, taking turns: the text
    call writes the pattern in UTF-16LE itself and passes over odd offsets
    in the scan, where the byte call matches anywhere."""
    s = bench.settings
    size = s.mib * MIB
    report = bench.report
    report.emit("## Text in the file's own encoding: one %d MiB UTF-16LE file, median of %d runs"
                % (s.mib, s.runs), "",
                "replaceText (encoding 0: the file's mark says UTF-16LE; whole code units only)",
                "beside replaceString given the same needle's UTF-16LE bytes, in-process, taking",
                "turns. × bytes is the median time over replaceString's.", "")
    with open(bench.path("pattern"), "wb") as f:
        f.write(TEXT_NEEDLE.encode("utf-16-le"))
    with open(bench.path("replacement"), "wb") as f:
        f.write(TEXT_REPLACEMENT.encode("utf-16-le"))
    with open(bench.path("pattern-text"), "wb") as f:
        f.write(TEXT_NEEDLE.encode())
    with open(bench.path("replacement-text"), "wb") as f:
        f.write(TEXT_REPLACEMENT.encode())
    driver = bench.program("bench/subst_driver")
    f = bench.path("case", "f")
    commands = {
        "string": [driver, "replace", f, bench.path("pattern"), bench.path("replacement")],
        "text": [driver, "replace-text", f, bench.path("pattern-text"),
                 bench.path("replacement-text"), "0"],
    }
    for density, spacing in (("dense", 128), ("sparse", 65536)):
        progress("text %s: making the %d MiB UTF-16LE file" % (density, s.mib))
        write_utf16_file(bench.path("orig"), size, TEXT_NEEDLE, spacing)
        write_utf16_file(bench.path("expected"), size, TEXT_REPLACEMENT, spacing)
        os.sync()
        expected = bench.path("expected")
        tallies = take_turns(
            bench, TEXT_TOOLS, lambda _bench, tool: commands[tool], "text %s" % density,
            lambda tool, run: failure(bench, run) if run.rc != 0 else
            "ok" if same_bytes(f, expected) else "wrong result")
        bytes_us = median_us(tallies["string"].times)
        report.emit("### %s: the needle every %d bytes" % (density, spacing), "",
                    "| tool | median s | × bytes | MB/s | runs | result |",
                    "|---|---:|---:|---:|---:|---|")
        for tool in TEXT_TOOLS:
            tally = tallies[tool]
            m = median_us(tally.times)
            report.emit("| %s | %s | %s | %s | %d | %s |" % (
                TEXT_LABELS[tool], fmt_s(m), fmt_ratio(m, bytes_us), fmt_mbs(size, m),
                len(tally.times), tally.result))
            if tally.result != "ok":
                report.miss("correct", "text %s: %s: %s" % (density, TEXT_LABELS[tool], tally.result))
        report.emit("")
        remove(bench.path("orig"), bench.path("expected"), bench.path("case"))


# The word test with many pairs: 32 pairs a, aa, ..., a x 32 over a file of
# nothing but a, where every pattern occurs at every position and none is a
# whole word, so that -w turns down every occurrence of every pair.
WORD_PAIRS = 32
WORD_PAIRS_MIB = 4
WORD_PAIRS_TOOLS = ["exact", "w"]
WORD_PAIRS_LABELS = {"exact": "ours: kivsubst, 32 pairs (exact)",
                     "w": "ours: kivsubst -w, 32 pairs"}


def word_pairs_command(bench, tool):
    argv = [bench.program("kivsubst/kivsubst")] + (["-w"] if tool == "w" else [])
    for length in range(1, WORD_PAIRS + 1):
        argv += ["-e", "a" * length, "X"]
    return argv + ["--", bench.path("case", "f")]


def measure_word_pairs(bench):
    """-w with many pairs beside exact matching of the same pairs, in
    processor time: exact matching replaces a x 32 every 32 bytes, -w
    replaces nothing and leaves the file as it was (exit status 1)."""
    s = bench.settings
    size = WORD_PAIRS_MIB * MIB
    report = bench.report
    report.emit("### %d pairs a, aa, ..., a x %d over %d MiB of a" % (WORD_PAIRS, WORD_PAIRS,
                                                                       WORD_PAIRS_MIB), "",
                "Every pattern occurs at every byte and no occurrence is a whole word: -w turns",
                "down all of them, where exact matching replaces a x %d every %d bytes. Processor"
                % (WORD_PAIRS, WORD_PAIRS),
                "time is the program's user and system time; × exact is its median over that of",
                "exact matching.", "",
                "| tool | median processor s | × exact | median s | runs | result |",
                "|---|---:|---:|---:|---:|---|")
    with open(bench.path("orig"), "wb") as original:
        original.write(b"a" * size)
    with open(bench.path("expected"), "wb") as expected:
        expected.write(b"X" * (size // WORD_PAIRS))
    os.sync()
    outcome = {"exact": (0, bench.path("expected")), "w": (1, bench.path("orig"))}
    def judged(tool, run):
        status, expected = outcome[tool]
        return (failure(bench, run) if run.rc != status else
                "ok" if same_bytes(bench.path("case", "f"), expected) else "wrong result")

    tallies = take_turns(bench, WORD_PAIRS_TOOLS, word_pairs_command,
                         "matching, %d pairs" % WORD_PAIRS, judged, lambda run: run.cpu_us)
    exact_cpu = median_us(tallies["exact"].cpu_times)
    for tool in WORD_PAIRS_TOOLS:
        tally = tallies[tool]
        cpu = median_us(tally.cpu_times)
        report.emit("| %s | %s | %s | %s | %d | %s |" % (
            WORD_PAIRS_LABELS[tool], fmt_s(cpu), fmt_ratio(cpu, exact_cpu),
            fmt_s(median_us(tally.times)), len(tally.times), tally.result))
        if tally.result != "ok":
            report.miss("correct", "matching, %d pairs: %s: %s" % (WORD_PAIRS, WORD_PAIRS_LABELS[tool],
                                                                   tally.result))
    report.emit("")
    remove(bench.path("orig"), bench.path("expected"), bench.path("case"))


# --- 2. copy ------------------------------------------------------------------------

COPY_INTRO = [
    "Warm on both sides: the sources are read once beforehand and stay cached, and before each run",
    "everything is synced, untimed (the large file's copy is deleted first; the small files go to",
    "a new directory each run). Neither tool syncs its copy, so the times cover reading, writing",
    "into the page cache and stamping. × ours is over ours, the library in-process.",
]


def numbered_targets(copies):
    """A new directory under `copies` for each run: gives the one-element
    list that names the current target, and the step that moves it on to
    the next name and syncs everything, untimed."""
    os.mkdir(copies)
    target = [None]
    made = [0]

    def prepare():
        made[0] += 1
        target[0] = os.path.join(copies, str(made[0]))
        os.sync()
    return target, prepare


def paired_ratio(ours, theirs):
    """The median of the ratios of runs made in the same round."""
    return statistics.median(a / b for a, b in zip(ours, theirs))


def time_copies(bench, name, runs, prepare, verify, tools):
    """Times the tools in turns. Each tool is a (key, setup) pair whose setup
    readies the target and gives (label, command line); prepare makes sure no
    target is there yet, verify(key) compares the target with the source
    after the tool's first run. Gives each key's label and tally."""
    tallies = {key: Tally() for key, _ in tools}
    labels = {}
    for run_number in range(1, runs + 1):
        line = ""
        for k in range(len(tools)):
            key, setup = tools[(k + run_number - 1) % len(tools)]
            prepare()
            labels[key], argv = setup()
            run = timed(bench, argv)
            tally = tallies[key]
            tally.times.append(run.us)
            tally.cpu_times.append(run.cpu_us)
            tally.peak = max(tally.peak, run.rss_kib)
            line += " %s %s" % (key, fmt_s(run.us))
            if run_number == 1:
                tally.result = (failure(bench, run) if run.rc != 0
                                else "ok" if verify(key) else "wrong result")
        progress("copy %s: run %d/%d:%s" % (name, run_number, runs, line))
    return labels, tallies


def report_copy(bench, name, size, labels, tallies):
    """The case's rows; the first tool is ours, the library."""
    medians = {key: median_us(tally.times) for key, tally in tallies.items()}
    ours_us = next(iter(medians.values()))
    for key, tally in tallies.items():
        m = medians[key]
        bench.report.emit("| %s | %s | %s | %s | %s | %s | %s |" % (
            name, labels[key], fmt_s(m), fmt_ratio(m, ours_us), fmt_mbs(size, m),
            fmt_mib(tally.peak), tally.result))
        if tally.result != "ok":
            bench.report.miss("correct", "%s: %s: %s" % (name, labels[key], tally.result))
    return medians


# The large file's copy takes a fraction of a second, and ours and cp both
# leave the bytes to the kernel: their difference is small beside the
# machine's drift, so it is taken over this many rounds, each tool's run
# paired with cp's of the same round.
LARGE_COPY_RUNS = 21


def copy_large_file(bench):
    """One large file, read once beforehand so that it is cached. Gives each
    key's median, the file's size, and each of ours over cp, paired: the
    median of each round's ratio, of wall and of processor time."""
    big, copy = bench.path("big"), bench.path("big.copy")
    size = bench.settings.copy_mib * MIB
    progress("copy: making a %d MiB file" % bench.settings.copy_mib)
    make_pattern(bench, 16)
    make_file(bench, "big", size, bench.path("pattern"), 0)
    os.sync()
    read_through([big])

    def prepare():
        remove(copy)
        os.sync()
    tools = [
        ("lib_big", lambda: ("ours: library, in-process",
                             [bench.program("bench/copy_driver"), "copy", big, copy])),
        ("cli_big", lambda: ("ours: kivcopy front end", [bench.program("kivcopy/kivcopy"), big, copy])),
        ("cp_big", lambda: ("cp --preserve=timestamps", ["cp", "--preserve=timestamps", big, copy])),
    ]
    runs = max(bench.settings.runs, LARGE_COPY_RUNS)
    labels, tallies = time_copies(bench, "large file", runs, prepare,
                                  lambda _: same_bytes(big, copy), tools)
    medians = report_copy(bench, "%d MiB file" % bench.settings.copy_mib, size, labels, tallies)
    paired = {}
    for key in ("lib_big", "cli_big"):
        paired[key] = (paired_ratio(tallies[key].times, tallies["cp_big"].times),
                       paired_ratio(tallies[key].cpu_times, tallies["cp_big"].cpu_times))
    remove(big, copy)
    return medians, size, paired, runs


def make_tree(bench, source):
    """The small files, their names (sorted, NUL-terminated, in the work
    directory's names file, for xargs) and their total size."""
    count = bench.settings.files
    progress("copy: making %d files of 1-8 KiB" % count)
    os.mkdir(source)
    helper(bench.program("bench/copy_driver"), "make-tree", source, str(count), "1024", "8192")
    paths = sorted(os.fsencode(os.path.join(top, name))
                   for top, _, names in os.walk(source) for name in names)
    with open(bench.path("names"), "wb") as names:
        names.write(b"".join(path + b"\0" for path in paths))
    return paths, sum(os.path.getsize(path) for path in paths)


# The small files' copies drift with the file system's search for free
# inodes, as the tree's do, by more than the tools differ: they are taken
# over this many rounds and compared with cp -r paired.
SMALL_COPY_RUNS = 9


def copy_small_files(bench):
    """Many small files. The front end takes every source and then the
    directory; xargs splits the names into batches below the argument limit
    (1 MiB of arguments). Every run copies into a directory of its own, and
    the copies are deleted only at the end: ext4 without a journal skips
    inodes deleted in the last 30 seconds when it allocates new ones,
    checking each on disk, so a copy made right after deleting the previous
    one pays for that deletion; for the same reason the files and their
    copies are left for the caller to delete once the tree's case, which
    makes small files too, is measured. Gives each key's median, the files'
    size, the rounds, each of ours over cp -r, paired, and what to delete."""
    source, copies, names = bench.path("src"), bench.path("copies"), bench.path("names")
    paths, size = make_tree(bench, source)
    batches = helper("xargs", "-0", "-s", "1048576", "-a", names, "sh", "-c", "echo batch").count("\n")
    os.sync()
    read_through(paths)
    target, prepare = numbered_targets(copies)

    def ours_library():
        os.mkdir(target[0])
        return ("ours: library, in-process, one call per file",
                [bench.program("bench/copy_driver"), "each", source, target[0]])

    def ours_front_end():
        os.mkdir(target[0])
        invocations = "one invocation" if batches == 1 else "%d invocations" % batches
        return ("ours: kivcopy SOURCE... DIRECTORY, " + invocations,
                ["env", "DST=" + target[0], "xargs", "-0", "-s", "1048576", "-a", names,
                 "sh", "-c", 'exec "$0" "$@" "$DST"', bench.program("kivcopy/kivcopy")])
    tools = [
        ("lib_small", ours_library),
        ("cli_small", ours_front_end),
        ("cp_small", lambda: ("cp -r --preserve=timestamps",
                              ["cp", "-r", "--preserve=timestamps", source, target[0]])),
    ]
    runs = max(bench.settings.runs, SMALL_COPY_RUNS)
    labels, tallies = time_copies(bench, "%d files" % bench.settings.files, runs, prepare,
                                  lambda _: same_tree(source, target[0]), tools)
    medians = report_copy(bench, "%d files" % bench.settings.files, size, labels, tallies)
    paired = {key: paired_ratio(tallies[key].times, tallies["cp_small"].times)
              for key in ("lib_small", "cli_small")}
    return medians, size, runs, paired, (source, copies, names)


def note_copy(report, paired, small, small_paired):
    """The goals: at least as fast as cp on the large file, in wall and
    processor time, paired; faster than cp -r on the small files, paired."""
    for key, who in (("lib_big", "library"), ("cli_big", "front end")):
        wall, cpu = paired[key]
        if wall > 1 or cpu > 1:
            report.miss("copy_big", "%s %.3f × cp in wall time, %.3f × in processor time"
                        % (who, wall, cpu))
    for key, who in (("lib_small", "library"), ("cli_small", "front end")):
        if small_paired[key] >= 1:
            report.miss("copy_small", "%s %.3f × cp -r, paired (%s s, cp -r %s s)"
                        % (who, small_paired[key], fmt_s(small[key]), fmt_s(small["cp_small"])))


# The sparse file: this many MiB, holding these bytes halfway and holes
# around them. Its copy takes milliseconds, so its median is taken over this
# many times the runs of the other cases.
SPARSE_MIB = 256
SPARSE_DATA = b"8 bytes!"
SPARSE_RUNS_FACTOR = 5
# The most a copy of it may have allocated.
SPARSE_GOAL_KIB = 4 * 1024


def allocated_kib(path):
    """What a file holds on disk: its blocks, st_blocks × 512 bytes."""
    return os.stat(path).st_blocks * 512 // 1024


def make_sparse_file(path):
    with open(path, "wb") as sparse:
        sparse.seek(SPARSE_MIB * MIB // 2)
        sparse.write(SPARSE_DATA)
        sparse.truncate(SPARSE_MIB * MIB)


def copy_sparse_file(bench):
    """The sparse file, whose holes every tool should keep. Gives each key's
    median and each key's copy's allocated KiB."""
    source, copy = bench.path("sparse"), bench.path("sparse.copy")
    progress("copy: making a %d MiB file holding %d bytes" % (SPARSE_MIB, len(SPARSE_DATA)))
    make_sparse_file(source)
    os.sync()
    allocated = {}

    def prepare():
        remove(copy)
        os.sync()

    def verify(key):
        allocated[key] = allocated_kib(copy)
        return same_bytes(source, copy)
    tools = [
        ("lib_sparse", lambda: ("ours: library, in-process",
                                [bench.program("bench/copy_driver"), "copy", source, copy])),
        ("cli_sparse", lambda: ("ours: kivcopy front end", [bench.program("kivcopy/kivcopy"), source, copy])),
        ("cp_sparse", lambda: ("cp --preserve=timestamps", ["cp", "--preserve=timestamps", source, copy])),
    ]
    runs = bench.settings.runs * SPARSE_RUNS_FACTOR
    labels, tallies = time_copies(bench, "sparse file", runs, prepare, verify, tools)
    source_kib = allocated_kib(source)
    remove(source, copy)
    return report_sparse(bench, runs, source_kib, labels, tallies, allocated), allocated


def report_sparse(bench, runs, source_kib, labels, tallies, allocated):
    """The sparse case's table; gives each key's median."""
    report = bench.report
    report.emit("### A %d MiB file holding %d bytes of data, median of %d runs"
                % (SPARSE_MIB, len(SPARSE_DATA), runs), "",
                "The bytes lie halfway, between two holes; the source has %d KiB allocated. Allocated"
                % source_kib,
                "is the copy's (st_blocks × 512). Conditions as above; × ours is over ours, the library.",
                "", "| tool | median s | × ours | allocated KiB | result |", "|---|---:|---:|---:|---|")
    medians = {key: median_us(tally.times) for key, tally in tallies.items()}
    for key, tally in tallies.items():
        report.emit("| %s | %s | %s | %d | %s |" % (
            labels[key], fmt_s(medians[key]), fmt_ratio(medians[key], medians["lib_sparse"]),
            allocated[key], tally.result))
        if tally.result != "ok":
            report.miss("correct", "sparse file: %s: %s" % (labels[key], tally.result))
    report.emit("")
    return medians


def note_sparse(report, medians, allocated):
    """The goal: ours keeps the holes and takes no longer than cp."""
    for key, who in (("lib_sparse", "library"), ("cli_sparse", "front end")):
        if allocated[key] > SPARSE_GOAL_KIB:
            report.miss("copy_sparse", "%s: %d KiB allocated" % (who, allocated[key]))
        if medians[key] > medians["cp_sparse"]:
            report.miss("copy_sparse", "%s %s s, cp %s s"
                        % (who, fmt_s(medians[key]), fmt_s(medians["cp_sparse"])))


# The tree: this many files of 1-8 KiB in directories of a hundred each.
TREE_FILES = 2000
TREE_PER_DIRECTORY = 100
# Its wall times swing by a third between rounds, for both tools alike (the
# file system making inodes), so it takes at least this many rounds.
TREE_RUNS = 15


def copy_tree_files(bench):
    """A directory tree of small files, copied whole by kivcopy -r and by
    cp -r. Gives each key's median."""
    source, copies = bench.path("tree"), bench.path("tree-copies")
    progress("copy: making a tree of %d files" % TREE_FILES)
    os.mkdir(source)
    for index in range(TREE_FILES // TREE_PER_DIRECTORY):
        directory = os.path.join(source, "d%02d" % index)
        os.mkdir(directory)
        helper(bench.program("bench/copy_driver"), "make-tree", directory, str(TREE_PER_DIRECTORY),
               "1024", "8192", str(index + 1))
    paths = [os.path.join(top, name) for top, _, names in os.walk(source) for name in names]
    size = sum(os.path.getsize(path) for path in paths)
    os.sync()
    read_through(paths)
    target, prepare = numbered_targets(copies)
    tools = [
        ("cli_tree", lambda: ("ours: kivcopy -r", [bench.program("kivcopy/kivcopy"), "-r", "--",
                                                     source, target[0]])),
        ("cp_tree", lambda: ("cp -r --preserve=timestamps",
                             ["cp", "-r", "--preserve=timestamps", source, target[0]])),
    ]
    runs = max(bench.settings.runs, TREE_RUNS)
    labels, tallies = time_copies(bench, "tree", runs, prepare,
                                  lambda _: same_tree(source, target[0]), tools)
    remove(source, copies)
    report = bench.report
    report.emit("### A tree of %d files of 1-8 KiB in %d directories, median of %d runs"
                % (TREE_FILES, TREE_FILES // TREE_PER_DIRECTORY, runs), "",
                "Conditions as above: every file is one call of the library, directories are made",
                "by the front end. Wall time here is mostly the file system finding free inodes,",
                "which drifts from round to round for both tools alike, so × cp is the median of",
                "each round's ratio to cp -r, the two runs of a round being next to each other in",
                "time. cpu s is the tool's own user and system time.", "",
                "| tool | median s | × cp | MB/s | cpu s | cpu × cp | result |",
                "|---|---:|---:|---:|---:|---:|---|")
    medians = {key: median_us(tally.times) for key, tally in tallies.items()}
    cpu = {key: median_us(tally.cpu_times) for key, tally in tallies.items()}

    def over_cp(key, times):
        return paired_ratio(times(tallies[key]), times(tallies["cp_tree"]))
    ratios = {key: over_cp(key, lambda t: t.times) for key in tallies}
    for key, tally in tallies.items():
        report.emit("| %s | %s | %.2f | %s | %s | %.2f | %s |" % (
            labels[key], fmt_s(medians[key]), ratios[key], fmt_mbs(size, medians[key]),
            fmt_s(cpu[key]), over_cp(key, lambda t: t.cpu_times), tally.result))
        if tally.result != "ok":
            report.miss("correct", "tree: %s: %s" % (labels[key], tally.result))
    report.emit("")
    if ratios["cli_tree"] > 1:
        report.miss("copy_tree", "kivcopy -r %.2f × cp -r (%s s, %s s)"
                    % (ratios["cli_tree"], fmt_s(medians["cli_tree"]), fmt_s(medians["cp_tree"])))
    return medians


# The file system that shares blocks: btrfs in an image file of this many
# MiB more than the copied file, mounted through a loop device.
REFLINK_SPARE_MIB = 512


def used_bytes(directory):
    """The bytes in use on the file system holding `directory`, once its
    pending writes are durable: used space settles only then."""
    fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
        libc = ctypes.CDLL(None, use_errno=True)
        libc.syncfs(fd)
        status = os.fstatvfs(fd)
    finally:
        os.close(fd)
    return (status.f_blocks - status.f_bfree) * status.f_frsize


def reflink_unavailable():
    """Why no btrfs image can be mounted here, or None."""
    if os.geteuid() != 0:
        return "mounting a loop device needs root"
    if not os.path.exists("/dev/loop-control"):
        return "this machine has no loop devices (/dev/loop-control)"
    if not shutil.which("mkfs.btrfs"):
        return "mkfs.btrfs is missing (Debian's btrfs-progs)"
    return None


def copy_on_reflink(bench):
    """The large file copied on btrfs, where a copy can share the source's
    blocks: the time, and how much the file system's used space grew."""
    s, report = bench.settings, bench.report
    size = s.copy_mib * MIB
    title = "### %d MiB file on btrfs, which shares blocks between files" % s.copy_mib
    why_not = reflink_unavailable()
    if why_not:
        progress("copy on btrfs: skipped: " + why_not)
        report.emit(title, "", "Skipped: %s." % why_not, "")
        report.miss("copy_reflink", "not measured: " + why_not)
        return
    image, mount = bench.path("btrfs.img"), bench.path("btrfs")
    os.mkdir(mount)
    with open(image, "wb") as made:
        made.truncate((s.copy_mib + REFLINK_SPARE_MIB) * MIB)
    helper("mkfs.btrfs", "-q", "-f", image)
    helper("mount", "-o", "loop", image, mount)
    try:
        progress("copy on btrfs: making a %d MiB file" % s.copy_mib)
        make_pattern(bench, 16)
        make_file(bench, "btrfs/big", size, bench.path("pattern"), 0)
        big, copy = bench.path("btrfs", "big"), bench.path("btrfs", "big.copy")
        read_through([big])
        growth = {}
        before = [0]

        def prepare():
            remove(copy)
            before[0] = used_bytes(mount)

        def verify(key):
            growth[key] = max(growth.get(key, 0), used_bytes(mount) - before[0])
            return same_bytes(big, copy)
        tools = [
            ("lib_reflink", lambda: ("ours: library, in-process",
                                     [bench.program("bench/copy_driver"), "copy", big, copy])),
            ("cli_reflink", lambda: ("ours: kivcopy front end",
                                     [bench.program("kivcopy/kivcopy"), big, copy])),
            ("cp_reflink", lambda: ("cp --preserve=timestamps",
                                    ["cp", "--preserve=timestamps", big, copy])),
        ]
        labels, tallies = time_copies(bench, "on btrfs", s.runs, prepare, verify, tools)
    finally:
        subprocess.run(["umount", mount], stderr=subprocess.DEVNULL)
        remove(image, mount)
    report.emit(title, "",
                "The image is a file of this disk, mounted through a loop device; the copy and cp",
                "(whose default is --reflink=auto) may share the source's blocks instead of copying",
                "them. Growth is how much the file system's used space grew with the copy (after",
                "syncing it), after each tool's first run. Conditions as above.", "",
                "| tool | median s | × cp | growth MiB | result |", "|---|---:|---:|---:|---|")
    medians = {key: median_us(tally.times) for key, tally in tallies.items()}
    for key, tally in tallies.items():
        report.emit("| %s | %s | %.2f | %.1f | %s |" % (
            labels[key], fmt_s(medians[key]),
            paired_ratio(tally.times, tallies["cp_reflink"].times), growth[key] / MIB, tally.result))
        if tally.result != "ok":
            report.miss("correct", "on btrfs: %s: %s" % (labels[key], tally.result))
    report.emit("")
    for key, who in (("lib_reflink", "library"), ("cli_reflink", "front end")):
        if medians[key] > 50 * 1000 or growth[key] >= MIB:
            report.miss("copy_reflink", "%s %s s, %.1f MiB used" % (who, fmt_s(medians[key]),
                                                                   growth[key] / MIB))


def measure_copy(bench):
    """The large file and the small files with the copy section, the sparse
    file, the tree and the copy on btrfs with it or alone."""
    s, report = bench.settings, bench.report
    report.emit("## Copy: median of %d runs, warm page cache" % s.runs, "", *COPY_INTRO, "")
    if bench.section("copy"):
        report.emit("| case | tool | median s | × ours | MB/s | max RSS MiB | result |",
                    "|---|---|---:|---:|---:|---:|---|")
        big, big_size, paired, big_runs = copy_large_file(bench)
        small, small_size, small_runs, small_paired, small_files = copy_small_files(bench)
        report.emit("", "The %d files hold %d bytes; MB/s there counts those bytes." % (s.files, small_size),
                    "", "The %d MiB file's rows are the median of %d runs, the %d files' of %d. Ours over"
                    % (s.copy_mib, big_runs, s.files, small_runs),
                    "cp, paired (the median of each round's ratio, the runs of a round next to each",
                    "other in time), in wall and, for the large file, in processor time (the tool's",
                    "own user and system time):", "",
                    "| tool | large file: wall × cp | cpu × cp | small files: wall × cp -r |",
                    "|---|---:|---:|---:|",
                    "| ours: library, in-process | %.3f | %.3f | %.3f |"
                    % (paired["lib_big"] + (small_paired["lib_small"],)),
                    "| ours: kivcopy front end | %.3f | %.3f | %.3f |"
                    % (paired["cli_big"] + (small_paired["cli_small"],)), "")
        bench.copy_chart = [
            ["case", "ours (library)", "ours (front end)", "cp"],
            ["%d MiB file" % s.copy_mib] + [fmt_mbs(big_size, big[k]) for k in ("lib_big", "cli_big", "cp_big")],
            ["%d files of 1-8 KiB" % s.files]
            + [fmt_mbs(small_size, small[k]) for k in ("lib_small", "cli_small", "cp_small")],
        ]
        note_copy(report, paired, small, small_paired)
    if bench.section("copy") or bench.section("sparse"):
        sparse, allocated = copy_sparse_file(bench)
        note_sparse(report, sparse, allocated)
    if bench.section("copy") or bench.section("tree"):
        copy_tree_files(bench)
    if bench.section("copy"):
        remove(*small_files)
    if bench.section("copy") or bench.section("reflink"):
        copy_on_reflink(bench)


# --- 3. memory ----------------------------------------------------------------------


def memory_run(bench, tool, case, size):
    """One run of ours on a fresh copy of the file, which must replace."""
    restore(bench)
    run = timed(bench, subst_command(bench, tool, case))
    if run.rc != 0:
        with open(bench.path("out"), "rb") as out, open(bench.path("err"), "rb") as err:
            said = (out.read() + err.read()).decode("utf-8", "replace").rstrip("\n")
        who = "library" if tool == "lib" else "front end"
        die("the %s did not replace in the %d MiB file: %s" % (who, size, said))
    return run


def measure_memory(bench):
    """The peak resident set at each file size, which must stay flat because
    the library streams."""
    report, sizes = bench.report, bench.settings.memory_mib
    report.emit("## Substitution's peak memory by file size (one run each)", "",
                "Pattern of 4096 bytes planted every 8192 bytes,"
                " the case that keeps the most bytes in flight.", "",
                "| file MiB | ours: library s | MB/s | library max RSS MiB | front end max RSS MiB |",
                "|---:|---:|---:|---:|---:|")
    peaks = []
    for size in sizes:
        progress("memory: making a %d MiB file" % size)
        pattern, replacement = make_pattern(bench, 4096)
        make_file(bench, "orig", size * MIB, bench.path("pattern"), 8192)
        case = Case(4096, "dense", "", pattern, replacement, "", 0)
        lib = memory_run(bench, "lib", case, size)
        cli = memory_run(bench, "cli", case, size)
        progress("memory: %d MiB: library %s s, RSS %d KiB; front end RSS %d KiB"
                 % (size, fmt_s(lib.us), lib.rss_kib, cli.rss_kib))
        report.emit("| %d | %s | %s | %s | %s |" % (size, fmt_s(lib.us), fmt_mbs(size * MIB, lib.us),
                                                   fmt_mib(lib.rss_kib), fmt_mib(cli.rss_kib)))
        peaks.append(lib.rss_kib)
        remove(bench.path("orig"), bench.path("case"))
    report.emit("")
    # Flat: the largest file's peak within 10% (and 1 MiB) of the smallest's.
    if peaks[-1] > peaks[0] + peaks[0] // 10 + 1024:
        report.miss("memory", "peak RSS %s MiB at %d MiB, %s MiB at %d MiB"
                    % (fmt_mib(peaks[0]), sizes[0], fmt_mib(peaks[-1]), sizes[-1]))


# --- 4. many files ---------------------------------------------------------------------


MANY_INTRO = [
    "The same patch in every one of many small text files of 1-8 KiB, each holding the pattern",
    "a few times. Ours patches them all in one run, durably: its batches share the syncs that",
    "make them durable (the temporary files, then the files written back), so each file still",
    "goes from old to new through a durable temporary file. The same through one call per file",
    "pays for three syncs a file. sed -i makes nothing durable. Before each run the tree is",
    "restored from a copy and everything is synced, untimed. Sync calls are counted in one",
    "more run of each, under strace (fsync, fdatasync, syncfs, sync).",
]
MANY_PATTERN = b"@INSTALLDIR@"
MANY_REPLACEMENT = b"/opt/product"


def make_many(bench, directory, count):
    """The files, in subdirectories of 100, with the pattern planted in
    lines of a config-like text."""
    for index in range(count):
        folder = os.path.join(directory, "d%03d" % (index // 100))
        os.makedirs(folder, exist_ok=True)
        size = 1024 + (index * 7919) % 7168
        lines = []
        while sum(len(line) for line in lines) < size:
            n = len(lines)
            lines.append(b"key%d=%s/lib%d\n" % (n, MANY_PATTERN, n) if n % 5 == 0
                         else b"key%d=value %d of file %d\n" % (n, n, index))
        with open(os.path.join(folder, "f%05d.ini" % index), "wb") as out:
            out.write(b"".join(lines))


def many_expected(original, patched):
    """Whether every file under `patched` is its twin under `original` with
    every occurrence replaced."""
    for top, _, names in os.walk(original):
        for name in names:
            before = os.path.join(top, name)
            after = os.path.join(patched, os.path.relpath(before, original))
            with open(before, "rb") as a, open(after, "rb") as b:
                if a.read().replace(MANY_PATTERN, MANY_REPLACEMENT) != b.read():
                    return False
    return True


def sync_calls(bench, argv):
    """How many sync calls a run makes (strace -c), or None without strace."""
    if not shutil.which("strace"):
        return None
    summary = bench.path("strace")
    subprocess.run(["strace", "-f", "-c", "-o", summary, "-e",
                    "trace=fsync,fdatasync,syncfs,sync"] + argv,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    calls = 0
    with open(summary) as text:
        for line in text:
            fields = line.split()
            if len(fields) >= 5 and fields[-1] in ("fsync", "fdatasync", "syncfs", "sync"):
                calls += int(fields[3])
    return calls


def measure_many(bench):
    s, report = bench.settings, bench.report
    pristine, tree = bench.path("many-pristine"), bench.path("many")
    progress("many: making %d files" % s.many)
    make_many(bench, pristine, s.many)
    pattern, replacement = MANY_PATTERN.decode(), MANY_REPLACEMENT.decode()
    kivsubst = bench.program("kivsubst/kivsubst")
    tools = [
        ("ours", "ours: kivsubst -r, one run", [kivsubst, "-r", "--", pattern, replacement, tree]),
        ("ours_each", "ours: one kivsubst a file (find -exec ... \\;)",
         ["find", tree, "-type", "f", "-exec", kivsubst, "--", pattern, replacement, "{}", ";"]),
        ("sed", "sed -i (find -exec ... {} +)",
         ["find", tree, "-type", "f", "-exec", "sed", "-i", "s|%s|%s|g" % (pattern, replacement),
          "{}", "+"]),
    ]

    def restore_tree():
        remove(tree)
        shutil.copytree(pristine, tree)
        os.sync()
    tallies = {key: Tally() for key, _, _ in tools}
    for run_number in range(1, s.runs + 1):
        line = ""
        for k in range(len(tools)):
            key, _, argv = tools[(k + run_number - 1) % len(tools)]
            restore_tree()
            run = timed(bench, argv)
            tallies[key].times.append(run.us)
            if run_number == 1:
                tallies[key].result = (failure(bench, run) if run.rc != 0
                                       else "ok" if many_expected(pristine, tree) else "wrong result")
            line += " %s %s" % (key, fmt_s(run.us))
        progress("many: run %d/%d:%s" % (run_number, s.runs, line))
    syncs = {}
    for key, _, argv in tools:
        restore_tree()
        syncs[key] = sync_calls(bench, argv)
    beside = many_beside_a_neighbour(bench, tools[0][2], restore_tree)
    remove(tree, pristine)

    report.emit("## Many small files: median of %d runs" % s.runs, "", *MANY_INTRO, "",
                "The tools take turns in each run; × sed -i is the median of each run's ratio, "
                "since the file", "system's search for free inodes drifts from run to run for "
                "all alike.", "",
                "| tool | median s | × sed -i | sync calls | result |", "|---|---:|---:|---:|---|")
    medians = {key: median_us(tally.times) for key, tally in tallies.items()}
    over_sed = {key: paired_ratio(tallies[key].times, tallies["sed"].times) for key in tallies}
    for key, label, _ in tools:
        calls = syncs[key]
        report.emit("| %s | %s | %.2f | %s | %s |" % (
            label, fmt_s(medians[key]), over_sed[key],
            "n/a" if calls is None else calls, tallies[key].result))
        if tallies[key].result != "ok":
            report.miss("correct", "many files: %s: %s" % (label, tallies[key].result))
    report.emit("")
    if over_sed["ours"] > 1:
        report.miss("many", "ours %.2f times sed -i (median of the runs' ratios)" % over_sed["ours"])
    report_neighbour(bench, *beside)

# The transaction's members: half installs of a new file, half patches of
# one, each file TRANSACTION_MIB MiB with an "@old@" every 64 KiB.
TRANSACTION_MEMBERS = 20
TRANSACTION_MIB = 1


def make_transaction_files(bench, pristine, media):
    for folder in (pristine, media):
        os.makedirs(folder, exist_ok=True)
    rng = random.Random(20261209)
    for member in range(TRANSACTION_MEMBERS):
        data = bytearray(rng.randbytes(TRANSACTION_MIB * MIB))
        for at in range(0, len(data), 64 * 1024):
            data[at:at + 5] = b"@old@"
        for folder in (pristine, media):
            with open(os.path.join(folder, "file%d" % member), "wb") as out:
                out.write(data)


def transaction_expected(media, app):
    """Installs hold their media file; patches the pristine file with every
    "@old@" replaced."""
    for member in range(TRANSACTION_MEMBERS):
        with open(os.path.join(media, "file%d" % member), "rb") as original:
            expected = original.read()
        if member % 2:
            expected = expected.replace(b"@old@", b"@new@")
        with open(os.path.join(app, "file%d" % member), "rb") as result:
            if result.read() != expected:
                return False
    return True


def measure_transaction(bench):
    """20 members, mixed installs and patches, as one transaction beside the
    same 20 calls made one by one: the cost of all-or-nothing."""
    s, report = bench.settings, bench.report
    pristine, media, app, journal = (bench.path(name) for name in
                                     ("txn-pristine", "txn-media", "txn-app", "txn-journal"))
    progress("transaction: making %d files of %d MiB" % (TRANSACTION_MEMBERS, TRANSACTION_MIB))
    make_transaction_files(bench, pristine, media)
    os.makedirs(journal, exist_ok=True)
    driver = bench.program("bench/transaction_driver")
    tools = [(key, label, [driver, key, journal, media, app, str(TRANSACTION_MEMBERS)])
             for key, label in (("transaction", "one transaction (KivTransaction...)"),
                                ("separate", "separate calls (KivInstallFile, replaceString)"))]

    def restore_app():
        remove(app)
        shutil.copytree(pristine, app)
        os.sync()
    tallies = {key: Tally() for key, _, _ in tools}
    for run_number in range(1, s.runs + 1):
        line = ""
        for k in range(len(tools)):
            key, _, argv = tools[(k + run_number - 1) % len(tools)]
            restore_app()
            run = timed(bench, argv)
            tallies[key].times.append(run.us)
            if run_number == 1:
                tallies[key].result = (failure(bench, run) if run.rc != 0
                                       else "ok" if transaction_expected(media, app)
                                       and not os.listdir(journal) else "wrong result")
            line += " %s %s" % (key, fmt_s(run.us))
        progress("transaction: run %d/%d:%s" % (run_number, s.runs, line))
    syncs = {}
    for key, _, argv in tools:
        restore_app()
        syncs[key] = sync_calls(bench, argv)
    remove(app, media, pristine, journal)
    ratio = paired_ratio(tallies["transaction"].times, tallies["separate"].times)
    report.emit("## A transaction of %d members: median of %d runs" % (TRANSACTION_MEMBERS, s.runs),
                "", "%d members of %d MiB each, every other one an install (a new file renamed onto "
                "an existing one), the others" % (TRANSACTION_MEMBERS, TRANSACTION_MIB),
                "patches (an \"@old@\" every 64 KiB), as one transaction beside the same calls "
                "made one by one. × separate is", "the median of each run's ratio.", "",
                "| way | median s | × separate | sync calls | result |", "|---|---:|---:|---:|---|")
    for key, label, _ in tools:
        calls = syncs[key]
        report.emit("| %s | %s | %.2f | %s | %s |" % (
            label, fmt_s(median_us(tallies[key].times)),
            ratio if key == "transaction" else 1.0,
            "n/a" if calls is None else calls, tallies[key].result))
        if tallies[key].result != "ok":
            report.miss("correct", "transaction: %s: %s" % (label, tallies[key].result))
    report.emit("")
    if ratio > 2:
        report.miss("transaction", "one transaction %.2f times the separate calls" % ratio)


# The reinstall case: files of 1-64 KiB, every tenth of them larger (a
# DLL's size), installed once and then installed again unchanged.
REINSTALL_FILES = 1000


def make_reinstall_media(media, count):
    os.makedirs(media, exist_ok=True)
    rng = random.Random(20261210)
    for index in range(count):
        size = rng.randint(1, 64) * 1024 if index % 10 else rng.randint(256, 1024) * 1024
        with open(os.path.join(media, "f%04d" % index), "wb") as out:
            out.write(rng.randbytes(size))


def measure_reinstall(bench):
    """A reinstall of unchanged files with --by-version, which writes
    nothing, beside the least it must do, reading both sides (cat of every
    file to /dev/null), and beside replacing every file (cp)."""
    s, report = bench.settings, bench.report
    count = REINSTALL_FILES if s.many >= REINSTALL_FILES else s.many
    media, app, manifest = (bench.path(name) for name in ("re-media", "re-app", "re-manifest"))
    progress("reinstall: making %d files" % count)
    make_reinstall_media(media, count)
    names = sorted(os.listdir(media))
    sources = [os.path.join(media, name) for name in names]
    targets = [os.path.join(app, name) for name in names]
    kivcopy = bench.program("kivcopy/kivcopy")
    os.makedirs(app, exist_ok=True)
    os.makedirs(manifest, exist_ok=True)
    first = timed(bench, [kivcopy, "--by-version", "--manifest=" + manifest, "-t", app, "--"] + sources)
    if first.rc != 0:
        die("reinstall: the first install failed: %s" % failure(bench, first))
    quoted_all = " ".join(shlex.quote(path) for path in sources + targets)
    tools = [
        ("ours", "kivcopy --by-version --manifest (all unchanged)",
         [kivcopy, "-v", "--by-version", "--manifest=" + manifest, "-t", app, "--"] + sources),
        ("plain", "kivcopy --by-version, no manifest",
         [kivcopy, "--by-version", "-t", app, "--"] + sources),
        ("read", "cat of both sides to /dev/null (the floor)",
         ["sh", "-c", "cat -- %s >/dev/null" % quoted_all]),
        ("cp", "cp -f of every file (a reinstall that rewrites)",
         ["cp", "-f", "-t", app, "--"] + sources),
    ]
    tallies = {key: Tally() for key, _, _ in tools}
    for run_number in range(1, s.runs + 1):
        line = ""
        for k in range(len(tools)):
            key, _, argv = tools[(k + run_number - 1) % len(tools)]
            # Both sides in the page cache, as an installer that has just
            # read its media finds them; nothing left to write back.
            read_through(sources + targets)
            os.sync()
            run = timed(bench, argv)
            tallies[key].times.append(run.us)
            if run_number == 1 and key == "ours":
                with open(bench.path("out"), encoding="utf-8", errors="replace") as out:
                    kept = sum(1 for text in out if text.startswith("kept ") and
                               text.rstrip().endswith("the same bytes are installed"))
                tallies[key].result = ("ok" if run.rc == 0 and kept == count else
                                       "%d of %d kept as current" % (kept, count))
            elif run_number == 1:
                tallies[key].result = "ok" if run.rc == 0 else failure(bench, run)
            line += " %s %s" % (key, fmt_s(run.us))
        progress("reinstall: run %d/%d:%s" % (run_number, s.runs, line))
    writes = written_bytes(bench, tools[0][2])
    remove(media, app, manifest)
    over_read = paired_ratio(tallies["ours"].times, tallies["read"].times)
    report.emit("## A reinstall of %d unchanged files: median of %d runs" % (count, s.runs), "",
                "Files of 1-64 KiB, every tenth 256 KiB-1 MiB, installed once with `--by-version`"
                " and a manifest, then again", "unchanged, both sides in the page cache. x read is the"
                " median of each run's ratio to reading both sides.", "",
                "| way | median s | x read | result |", "|---|---:|---:|---|")
    for key, label, _ in tools:
        ratio = paired_ratio(tallies[key].times, tallies["read"].times)
        report.emit("| %s | %s | %.2f | %s |" % (label, fmt_s(median_us(tallies[key].times)), ratio,
                                                  tallies[key].result))
        if tallies[key].result != "ok":
            report.miss("correct", "reinstall: %s: %s" % (label, tallies[key].result))
    report.emit("", "Bytes the unchanged reinstall wrote to files, as strace counts them (its "
                "-v lines to standard output aside): %s." % ("n/a" if writes is None else writes), "")
    if over_read > 1:
        report.miss("reinstall", "the unchanged reinstall %.2f times reading both sides" % over_read)


def written_bytes(bench, argv):
    """The bytes the process tree wrote to anything but its standard output
    and error, by strace's count of write calls; None without strace."""
    if not shutil.which("strace"):
        return None
    trace = bench.path("write-trace")
    timed(bench, ["strace", "-f", "-qq", "-e", "trace=write,pwrite64,writev,pwritev,pwritev2,"
                  "copy_file_range,sendfile", "-e", "signal=none", "-o", trace] + argv)
    total = 0
    with open(trace, encoding="utf-8", errors="replace") as lines:
        for line in lines:
            call = re.search(r"(\w+)\((\d+),.*\)\s+=\s+(\d+)", line)
            if call and int(call.group(2)) > 2:
                total += int(call.group(3))
    return total


# What the neighbour of the many-files case has written, at least, when ours
# starts beside it: enough that its data are piling up unsynced.
NEIGHBOUR_HEAD_START_MIB = 64


def start_neighbour(bench):
    """Another program writing a large file without syncing it, as a
    download or a build does beside an installer; gives its process once it
    has written its head start."""
    path = bench.path("neighbour")
    writer = subprocess.Popen(["dd", "if=/dev/zero", "of=" + path, "bs=1M",
                               "count=%d" % bench.settings.neighbour_mib, "status=none"])
    head_start = min(NEIGHBOUR_HEAD_START_MIB, bench.settings.neighbour_mib) * MIB
    while writer.poll() is None and (not os.path.exists(path) or os.path.getsize(path) < head_start):
        time.sleep(0.01)
    return writer


def many_beside_a_neighbour(bench, argv, restore_tree):
    """Ours alone and ours beside the neighbour, in turns, each round a
    pair; gives both tallies. The neighbour's file goes and everything is
    synced after each run, untimed."""
    alone, beside = Tally(), Tally()
    for run_number in range(1, bench.settings.runs + 1):
        order = [False, True] if run_number % 2 else [True, False]
        for with_neighbour in order:
            restore_tree()
            writer = start_neighbour(bench) if with_neighbour else None
            run = timed(bench, argv)
            if writer is not None:
                writer.wait()
                remove(bench.path("neighbour"))
                os.sync()
            tally = beside if with_neighbour else alone
            tally.times.append(run.us)
            if run.rc != 0:
                tally.result = failure(bench, run)
        progress("many: beside a neighbour, run %d/%d: alone %s, beside %s" % (
            run_number, bench.settings.runs, fmt_s(alone.times[-1]), fmt_s(beside.times[-1])))
    return alone, beside


def report_neighbour(bench, alone, beside):
    report, s = bench.report, bench.settings
    ratio = paired_ratio(beside.times, alone.times)
    report.emit("### kivsubst -r beside a neighbour writing %d MiB unsynced, %d rounds"
                % (s.neighbour_mib, s.runs), "",
                "Each round runs ours once alone and once while another program (dd) writes %d MiB"
                % s.neighbour_mib,
                "to the same file system without syncing it; ours starts once the neighbour has",
                "written %d MiB. A batch that synced whole file systems would wait for all of it."
                % min(NEIGHBOUR_HEAD_START_MIB, s.neighbour_mib),
                "× alone is the median of each round's ratio.", "",
                "| run | median s | × alone |", "|---|---:|---:|",
                "| ours alone | %s | 1.00 |" % fmt_s(median_us(alone.times)),
                "| ours beside the neighbour | %s | %.2f |" % (fmt_s(median_us(beside.times)), ratio),
                "")
    for tally in (alone, beside):
        if tally.result:
            report.miss("correct", "many files beside a neighbour: " + tally.result)
    if ratio > 1.5:
        report.miss("many_neighbour", "%.2f × its own time alone" % ratio)


# --- summary --------------------------------------------------------------------------


def report_goals(bench, floor_ratios):
    report, s = bench.report, bench.settings
    report.emit("## Goals", "")
    if bench.section("subst"):
        report.goal("faster", "substitution faster than every peer in every case it shares with them")
        report.goal("floor", "substitution within 1.5 times the durable floor at every length and"
                    " density (largest: %s)" % max(floor_ratios, key=float))
    if bench.section("copy"):
        report.goal("copy_big", "copy at least as fast as cp on the large file, in wall and processor "
                    "time, paired")
        report.goal("copy_small", "copy faster than cp -r on the %d small files" % s.files)
    if bench.section("copy") or bench.section("sparse"):
        report.goal("copy_sparse", "the %d MiB file holding %d bytes copied to at most %d MiB allocated,"
                    " in no more time than cp" % (SPARSE_MIB, len(SPARSE_DATA), SPARSE_GOAL_KIB // 1024))
    if bench.section("copy") or bench.section("tree"):
        report.goal("copy_tree", "kivcopy -r over %d small files no slower than cp -r" % TREE_FILES)
    if bench.section("copy") or bench.section("reflink"):
        report.goal("copy_reflink", "the %d MiB file copied on btrfs in under 50 ms, the file system"
                    " growing by less than 1 MiB" % s.copy_mib)
    if bench.section("memory"):
        report.goal("memory", "substitution's peak memory flat from %d MiB to %d MiB"
                    % (s.memory_mib[0], s.memory_mib[-1]))
    if bench.section("many"):
        report.goal("many", "kivsubst -r over %d small files, durable, no slower than sed -i"
                    % s.many)
        report.goal("many_neighbour", "the same beside a neighbour writing %d MiB unsynced within"
                    " 1.5 times its own time alone" % s.neighbour_mib)
    if bench.section("transaction"):
        report.goal("transaction", "%d members as one transaction within 2 times the same calls"
                    " made one by one" % TRANSACTION_MEMBERS)
    if bench.section("reinstall"):
        report.goal("reinstall", "a reinstall of %d unchanged files with --by-version in no more"
                    " time than reading both sides" % REINSTALL_FILES)
    report.goal("correct", "every tool's result checked against the expected bytes")
    report.emit("", "Total time of bench/run: %.0f s." % (time.time() - s.started))


def measure(bench):
    check_space(bench)
    floor_ratios = measure_substitution(bench) if bench.section("subst") else []
    if bench.section("subst") or bench.section("matching"):
        measure_matching(bench)
    if bench.section("subst") or bench.section("text"):
        measure_text(bench)
    if any(bench.section(name) for name in ("copy", "sparse", "tree", "reflink")):
        measure_copy(bench)
    if bench.section("memory"):
        measure_memory(bench)
    if bench.section("many"):
        measure_many(bench)
    if bench.section("transaction"):
        measure_transaction(bench)
    if bench.section("reinstall"):
        measure_reinstall(bench)
    report_goals(bench, floor_ratios)


def finish(bench, state):
    s = bench.settings
    write_results(s.out, bench.report, s.arguments, bench.work, state)
    charted = bench.subst_chart is not None or bench.copy_chart is not None
    if charted and shutil.which("gnuplot"):
        write_chart(s.out, bench.work, s.runs, s.mib, bench.subst_chart, bench.copy_chart)
        progress("wrote %s/results.md and %s/results.svg" % (s.out, s.out))
    else:
        progress("wrote %s/results.md (no chart: neither substitution nor copy measured, or no gnuplot)"
                 % s.out)


def stop_on_signal(number, _frame):
    """Leaves through main's finally, so that the work directory goes."""
    sys.exit(128 + number)


def main():
    settings = parse_arguments(sys.argv[1:])
    repo = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    check_programs(repo)
    # Read before this process becomes a subreaper, so that nothing git may
    # leave running can come to it and be taken for a tool.
    state = source_state(repo)
    for number in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, stop_on_signal)
    become_subreaper()
    work = make_work_directory(repo)
    try:
        bench = Bench(settings, repo, work)
        measure(bench)
        finish(bench, state)
    except KeyboardInterrupt:
        sys.exit(130)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
