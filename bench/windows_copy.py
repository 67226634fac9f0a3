#!/usr/bin/python3
# SPDX-License-Identifier: Zlib
"""The measuring half of bench/windows-copy (see its header).

Makes the source, then times windows_copy_driver's contenders in paired
rounds through measure.py's take_turns: KivCopyFileW, KivInstallFileW when
the DLL exports it, and the system's CopyFileW. Each run's time is the one
the driver took around its call; the target is deleted and everything synced
before each run, untimed. Prints each contender's median and the median,
least and greatest of each round's ratio over CopyFileW's, and the median
ratio of the processor time each whole process took (Wine's start-up
included), which the machine's other work disturbs less.
"""
import argparse
import os
import statistics
import subprocess
import sys

from measure import Bench, become_subreaper, die, failure, read_through, remove, same_bytes
from measure import take_turns
from report import fmt_s

MIB = 1048576
FOUR_GIB = 4 << 30
# A sparse source holds this much data, the rest of it holes.
SPARSE_DATA = 8 * MIB
EXIT_NOT_EXPORTED = 3

LABELS = {
    "kivcopy": "KivCopyFileW",
    "install": "KivInstallFileW (flags 1)",
    "copyfile": "CopyFileW",
}


def parse_arguments(argv):
    parser = argparse.ArgumentParser(prog="bench/windows_copy.py", description=__doc__)
    parser.add_argument("--rounds", type=int, required=True)
    parser.add_argument("--mib", type=int, required=True)
    parser.add_argument("--layout", choices=("dense", "sparse"), required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--loader", required=True)
    parser.add_argument("--cap-s", type=int, default=600)
    return parser.parse_args(argv)


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def sparse_data_start(size):
    """Where a sparse source's data lie: across the 4 GiB mark, or in a file
    that ends before it (or just past it), at its end, as near that mark as
    it reaches."""
    centre = min(FOUR_GIB, size - SPARSE_DATA // 2)
    return max(0, centre - SPARSE_DATA // 2)


def make_source(path, size, layout):
    """Random bytes throughout (dense), or holes with 8 MiB of random bytes
    near the 4 GiB mark (sparse); read once, so that every contender finds
    it in the page cache, holes included, the first one too."""
    with open(path, "wb") as source, open("/dev/urandom", "rb") as random:
        if layout == "dense":
            for _ in range(size // MIB):
                source.write(random.read(MIB))
        else:
            source.truncate(size)
            source.seek(sparse_data_start(size))
            source.write(random.read(min(SPARSE_DATA, size)))
    os.sync()
    read_through([path])


def exports_install(bench, loader, driver):
    """Whether the DLL exports KivInstallFileW: the driver says so by its
    exit status before it would copy anything (here a missing file)."""
    missing = windows_path(bench.path("no-such-source"))
    done = subprocess.run([loader, driver, "install", missing, windows_path(bench.path("none"))],
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return done.returncode != EXIT_NOT_EXPORTED


def driver_us(bench, run):
    """The microseconds the driver took around its one call; a failed run
    makes the whole measurement invalid."""
    if run.rc != 0:
        die("windows_copy_driver: " + failure(bench, run))
    with open(bench.path("out")) as out:
        return int(out.read().strip())


def report(settings, tallies, install_row):
    theirs = tallies["copyfile"].times
    print("%d MiB, %s, under 64-bit Wine, %d rounds" % (settings.mib, settings.layout,
                                                      settings.rounds))
    their_cpu = tallies["copyfile"].cpu_times
    print("| contender | median s | × CopyFileW, median of rounds | least | greatest "
          "| processor time × CopyFileW | result |")
    print("|---|---:|---:|---:|---:|---:|---|")
    for tool, tally in tallies.items():
        ratios = [a / b for a, b in zip(tally.times, theirs)]
        cpu_ratios = [a / b for a, b in zip(tally.cpu_times, their_cpu)]
        print("| %s | %s | %.2f | %.2f | %.2f | %.2f | %s |" % (
            LABELS[tool], fmt_s(statistics.median(tally.times)), statistics.median(ratios),
            min(ratios), max(ratios), statistics.median(cpu_ratios), tally.result))
    if install_row:
        print(install_row)


def main():
    settings = parse_arguments(sys.argv[1:])
    become_subreaper()
    repo = os.getcwd()
    bench = Bench(argparse.Namespace(runs=settings.rounds, cap_s=settings.cap_s), repo,
                  settings.work)
    source = bench.path("source")
    target = bench.path("target")
    driver = bench.path("windows_copy_driver.exe")
    make_source(source, settings.mib * MIB, settings.layout)

    tools = ["kivcopy", "copyfile"]
    install_row = ""
    if exports_install(bench, settings.loader, driver):
        tools.insert(1, "install")
    else:
        install_row = ("| %s | — | — | — | — | — | not timed: this kivcopy.dll does not "
                       "export KivInstallFileW |" % LABELS["install"])

    def command_of(_bench, tool):
        return [settings.loader, driver, tool, windows_path(source), windows_path(target)]

    def prepare(_bench):
        remove(target)
        os.sync()

    def judge(tool, run):
        if run.rc != 0:
            return failure(bench, run)
        return "ok" if same_bytes(source, target) else "wrong copy"

    label = "%d MiB %s" % (settings.mib, settings.layout)
    def measured(run):
        return driver_us(bench, run)

    tallies = take_turns(bench, tools, command_of, label, judge, shown=measured,
                         prepare=prepare, measured=measured)
    report(settings, tallies, install_row)
    remove(source, target)
    if any(tally.result != "ok" for tally in tallies.values()):
        die("a contender's copy was wrong; the figures above are not valid")


if __name__ == "__main__":
    main()
