# SPDX-License-Identifier: Zlib
"""The benchmark's report: table cells, goals, results.md and the chart.

bench/measure.py fills a Report while it measures; at the end write_results
puts the machine's description in front of it, and write_chart draws
results.svg with gnuplot. Nothing here starts a measured process.
"""
import os
import re
import subprocess
import sys
import time


# --- table cells ----------------------------------------------------------------


def fmt_s(us):
    """Seconds, to the millisecond."""
    return "%.3f" % (us / 1e6)


def fmt_ratio(a, b):
    return "%.2f" % (a / b)


def fmt_mbs(size, us):
    """Bytes per microsecond is MB/s."""
    return "%.0f" % (size / us)


def fmt_mib(kib):
    return "%.1f" % (kib / 1024)


def median_us(values):
    """The middle value, or the two middle ones' mean, rounded down."""
    ordered = sorted(values)
    middle = len(ordered) // 2
    if len(ordered) % 2:
        return ordered[middle]
    return (ordered[middle - 1] + ordered[middle]) // 2


# --- the report -------------------------------------------------------------------


class Report:
    """The tables as they are measured, and what missed each goal."""

    def __init__(self):
        self.lines = []
        self.misses = {}  # goal -> one line per miss, in the order found

    def emit(self, *lines):
        self.lines.extend(lines)

    def miss(self, goal, text):
        self.misses.setdefault(goal, []).append(text)

    def goal(self, goal, text):
        """One line saying whether the goal was met, then what missed it."""
        misses = self.misses.get(goal, [])
        self.emit(("- **missed**: " if misses else "- **met**: ") + text)
        self.emit(*("  - " + miss for miss in misses))


# --- the machine ------------------------------------------------------------------


def output_of(*argv):
    """A command's standard output without its last line feed, or "" if it failed."""
    try:
        done = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    except OSError:
        return ""
    return done.stdout.rstrip("\n") if done.returncode == 0 else ""


def field_value(line):
    """The value of a "name: value" line, as /proc/cpuinfo and lscpu write them."""
    parts = re.split(r": *", line.rstrip("\n"))
    return parts[1] if len(parts) > 1 else ""


def cpu_description():
    name = family = model = ""
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            if line.startswith("model name") and not name:
                name = field_value(line)
            elif line.startswith("cpu family"):
                family = field_value(line)
            elif line.startswith("model\t"):
                model = field_value(line)
    identity = "family %s, model %s" % (family, model) if family else ""
    return "%s (%s)" % (name, identity)


def memory_gib():
    with open("/proc/meminfo") as meminfo:
        for line in meminfo:
            if line.startswith("MemTotal:"):
                return "%.1f" % (int(line.split()[1]) / 1048576)
    return ""


def file_system(path):
    """Type and device of the file system holding path, its mount options."""
    kind = re.sub(" +", " ", output_of("findmnt", "-no", "FSTYPE,SOURCE", "-T", path))
    device = os.path.basename(output_of("findmnt", "-no", "SOURCE", "-T", path))
    try:
        with open("/sys/fs/ext4/%s/journal_task" % device) as journal:
            if journal.read().rstrip("\n") == "<none>":
                kind += " (no journal)"
    except OSError:
        pass
    return kind, output_of("findmnt", "-no", "OPTIONS", "-T", path)


def hypervisor():
    for line in output_of("lscpu").splitlines():
        if line.startswith("Hypervisor vendor"):
            return field_value(line)
    return ""


def machine_lines(arguments, work, source_state):
    """The heading and the table that say where and how the run was taken."""
    taken = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())
    fs_kind, fs_options = file_system(work)
    with open("/proc/loadavg") as loadavg:
        load = " ".join(loadavg.read().split(" ")[:3])
    lines = [
        "# Benchmark results",
        "",
        "Taken by `bench/run%s` on %s." % (" " + arguments if arguments else "", taken),
        "",
        "| machine | |",
        "|---|---|",
        "| CPU | %s |" % cpu_description(),
        "| cores | %s |" % output_of("nproc"),
        "| memory | %s GiB |" % memory_gib(),
        "| kernel | %s %s |" % (os.uname().sysname, os.uname().release),
        "| file system | %s, mounted %s |" % (fs_kind, fs_options),
    ]
    vendor = hypervisor()
    if vendor:
        lines.append("| virtual machine | yes, hypervisor %s |" % vendor)
    lines.append("| load average at the end | %s |" % load)
    lines.append("| source measured | %s |" % source_state)
    return lines


TEST_FILES = [
    "The test files are generated text (bytes 0x20-0x7E and a line feed about every 96 bytes)",
    "with the pattern planted at fixed intervals. Patterns and replacements are made of bytes",
    "0x80-0xFF: for 16 bytes and more they are valid UTF-8 (two-byte sequences), so that the",
    "text tools can take them; the 1-byte pattern is a lone byte, which is not UTF-8.",
    "Everything runs with LC_ALL=C; the library's TMP is on the file's own file system.",
]


def write_results(out, report, arguments, work, source_state):
    """Writes results.md and prints it. A tool's error output quoted in a
    result may hold bytes that are not UTF-8: they are written back as they
    came (surrogateescape)."""
    lines = machine_lines(arguments, work, source_state) + [""] + TEST_FILES + [""]
    text = "\n".join(lines + report.lines) + "\n"
    os.makedirs(out, exist_ok=True)
    data = text.encode("utf-8", "surrogateescape")
    with open(os.path.join(out, "results.md"), "wb") as results:
        results.write(data)
    sys.stdout.flush()
    sys.stdout.buffer.write(data)
    sys.stdout.flush()


# --- the chart ----------------------------------------------------------------------


# Ours in blues, the floors in greys, the peers in other colours.
COLOURS = ["#08306b", "#4292c6", "#e6550d", "#fdae6b", "#31a354",
           "#a1d99b", "#756bb1", "#e7298a", "#bdbdbd", "#636363"]


def write_table(path, rows):
    """A tab-separated file for gnuplot: a heading row, then one row per case."""
    with open(path, "w", encoding="utf-8", errors="surrogateescape") as table:
        table.writelines("\t".join(row) + "\n" for row in rows)


def chart_script(out, panels, subst, copy):
    """gnuplot commands for one panel per section measured: substitution on
    top, copy below. subst and copy are (title, data file, columns) or None."""
    lines = [
        "set terminal svg size 1400,%d dynamic font 'sans,12' background rgb 'white'" % (panels * 480),
        "set output '%s/results.svg'" % out,
        "set datafile separator '\\t'",
        "set datafile missing '-'",
        "set style data histograms",
        "set style histogram clustered gap 1",
        "set style fill solid 0.9 border rgb '#404040'",
        "set boxwidth 0.9",
        "set ylabel 'MB/s (higher is faster)'",
        "set yrange [0:*]",
        "set grid ytics",
        "set key outside right top vertical",
    ]
    lines += ["set linetype %d lc rgb '%s'" % (i + 1, c) for i, c in enumerate(COLOURS)]
    lines.append("set multiplot layout %d,1" % panels)
    if subst:
        title, data, columns = subst
        lines += [
            "set title '%s'" % title,
            "set xlabel 'pattern length in bytes, density'",
            "plot for [i=2:%d] '%s' using i:xtic(1) title columnheader(i)" % (columns + 1, data),
        ]
    if copy:
        title, data, columns = copy
        lines += [
            "set title '%s'" % title,
            "set xlabel ''",
            "set linetype 3 lc rgb '#bdbdbd'",
            # Many small files move far fewer bytes per second than one large one.
            "set logscale y",
            "set yrange [*:*]",
            "set ylabel 'MB/s, log scale (higher is faster)'",
            "plot for [i=2:%d] '%s' using i:xtic(1) title columnheader(i)" % (columns + 1, data),
        ]
    lines.append("unset multiplot")
    return "\n".join(lines) + "\n"


def write_chart(out, work, runs, mib, subst_rows, copy_rows):
    """Draws results.svg from the MB/s tables (None for a section not
    measured); "-" in a table is a missing bar."""
    panels = (subst_rows is not None) + (copy_rows is not None)
    subst = copy = None
    if subst_rows is not None:
        data = os.path.join(work, "chart.dat")
        write_table(data, subst_rows)
        subst = ("Substitution, %d MiB file, median of %d runs"
                 " (no bar: n/a, stopped or wrong; see results.md)" % (mib, runs),
                 data, len(subst_rows[0]) - 1)
    if copy_rows is not None:
        data = os.path.join(work, "copy-chart.dat")
        write_table(data, copy_rows)
        copy = ("Copy, warm page cache, median of %d runs" % runs, data, len(copy_rows[0]) - 1)
    script = os.path.join(work, "chart.gp")
    with open(script, "w") as commands:
        commands.write(chart_script(out, panels, subst, copy))
    subprocess.run(["gnuplot", script], check=True)
