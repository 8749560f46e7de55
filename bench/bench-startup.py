#!/usr/bin/env python3
"""Start-up time of vexil beside terminal emulators, measured in the same run.

Each round starts every program once, in turn, with a command that writes nothing (`true`), and
takes the wall-clock time from the start of the process to its exit: for vexil (--exit-at-end)
that is the moment the end line has been painted, for a terminal the moment it closes after its
command ended. Alternating the programs round by round spreads a change in the machine's load
over all of them. CPU time (user + system, the program and its children) is taken per run too.

Needs an X display: run it under `xvfb-run -a` (or with DISPLAY set). Terminals that are not
installed are left out. Example:

    xvfb-run -a nice -n -10 python3 bench/bench-startup.py --vexil build/app/vexil --rounds 25
"""

import argparse
import os
import resource
import shutil
import statistics
import subprocess
import sys
import time

# The peers: how each one is started with a command.
TERMINALS = {
    "urxvt": ["urxvt", "-e", "true"],
    "alacritty": ["alacritty", "-e", "true"],
    "kitty": ["kitty", "true"],
}


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def run_once(argv, env):
    cpu_before = children_cpu()
    start = time.perf_counter()
    result = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, env=env, check=False)
    wall = time.perf_counter() - start
    return wall, children_cpu() - cpu_before, result.returncode


def quartiles(values):
    if len(values) < 2:
        return values[0], values[0], values[0]
    q = statistics.quantiles(values, n=4, method="inclusive")
    return q[0], statistics.median(values), q[2]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--vexil", default="build/app/vexil", help="the vexil program to start")
    parser.add_argument("--rounds", type=int, default=25, help="runs of each program")
    parser.add_argument("--warm-up", type=int, default=2, help="unmeasured rounds first")
    parser.add_argument("--only", nargs="*", help="peers to include (default: all installed)")
    parser.add_argument("--extra", action="append", default=[], metavar="NAME=PATH",
                        help="another vexil build to start the same way (e.g. the one before a "
                             "change)")
    args = parser.parse_args()

    if not os.environ.get("DISPLAY") and not os.environ.get("WAYLAND_DISPLAY"):
        sys.exit("no display: run under xvfb-run -a")
    programs = {"vexil": [os.path.abspath(args.vexil), "--exit-at-end", "true"]}
    for extra in args.extra:
        name, _, path = extra.partition("=")
        programs[name] = [os.path.abspath(path), "--exit-at-end", "true"]
    for name, argv in TERMINALS.items():
        if (args.only is None or name in args.only) and shutil.which(argv[0]):
            programs[name] = argv
    env = dict(os.environ)

    for _ in range(args.warm_up):
        for argv in programs.values():
            run_once(argv, env)

    load_before = os.getloadavg()
    walls = {name: [] for name in programs}
    cpus = {name: [] for name in programs}
    failures = {name: 0 for name in programs}
    for _ in range(args.rounds):
        for name, argv in programs.items():
            wall, cpu, code = run_once(argv, env)
            if code != 0:
                failures[name] += 1
            walls[name].append(wall * 1000)
            cpus[name].append(cpu * 1000)
    load_after = os.getloadavg()

    print(f"load average before {load_before[0]:.2f} {load_before[1]:.2f} {load_before[2]:.2f}, "
          f"after {load_after[0]:.2f} {load_after[1]:.2f} {load_after[2]:.2f}; "
          f"{args.rounds} alternating rounds")
    print(f"{'program':<10} {'wall ms p25':>11} {'median':>8} {'p75':>8} {'cpu ms median':>14}"
          f" {'failed':>7}")
    for name in programs:
        q1, med, q3 = quartiles(walls[name])
        print(f"{name:<10} {q1:11.1f} {med:8.1f} {q3:8.1f} {statistics.median(cpus[name]):14.1f}"
              f" {failures[name]:7d}")
    return 1 if failures["vexil"] else 0


if __name__ == "__main__":
    sys.exit(main())
