#!/usr/bin/env python3
"""Runs the editor's benchmark and prints one figure per line.

Every figure is measured side by side in one run: the programs run in interleaved rounds and each
figure is the median over the rounds. Start-up and load are timed from process start until the
first window is exposed and painted (bench/shown.cpp, preloaded, ends the process there), on the
real editor executable and on the floor program (an empty QDialog). Save is timed inside
transport_settings_savebench around one click of the Save button. Peak RSS comes from wait4().
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time


def write_ini(path, count):
    with open(path, "w", encoding="ascii") as f:
        f.write("[General]\n")
        f.write("positions=%d\n" % count)
        for n in range(1, count + 1):
            f.write("listenHost%d=127.0.0.%d\n" % (n, n % 250 + 1))
            f.write("listenPort%d=%d\n" % (n, 1024 + n % 60000))
            f.write("destHost%d=10.%d.%d.%d\n" % (n, n // 65536 % 256, n // 256 % 256, n % 256))
            f.write("destPort%d=%d\n" % (n, 2000 + n % 50000))


def run(argv, env):
    start = time.perf_counter()
    proc = subprocess.Popen(argv, env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    out = proc.stdout.read()
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        sys.exit("%s exited with %d" % (argv[0], proc.returncode))
    return elapsed, usage.ru_maxrss * 1024, out.decode()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", help="build directory with bin/ and bench/")
    parser.add_argument("--rounds", type=int, default=9)
    args = parser.parse_args()

    editor = os.path.join(args.build, "bin", "transport-settings")
    bench = os.path.join(args.build, "bench")
    floor = os.path.join(bench, "transport_settings_floor")
    savebench = os.path.join(bench, "transport_settings_savebench")
    shown = os.path.abspath(os.path.join(bench, "libtransport_settings_shown.so"))

    work = tempfile.mkdtemp(prefix="transport-bench-")
    try:
        # The editor finds transport.ini next to its executable: one copy of it per file size.
        sizes = {"empty": 0, "10k": 10000, "100k": 100000}
        programs = {}
        for name, count in sizes.items():
            folder = os.path.join(work, name)
            os.mkdir(folder)
            shutil.copy2(editor, folder)
            shutil.copy2(savebench, folder)
            write_ini(os.path.join(folder, "transport.ini"), count)
            programs[name] = folder

        env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        shown_env = dict(env, LD_PRELOAD=shown)

        # Warm the page cache once so that the first round is not an outlier.
        run([floor], shown_env)
        run([os.path.join(programs["empty"], "transport-settings")], shown_env)

        times = {}
        rss = {}
        saves = {"10k": [], "100k": []}
        plain = []
        for _ in range(args.rounds):
            jobs = [("floor", [floor])]
            for name in sizes:
                jobs.append((name, [os.path.join(programs[name], "transport-settings")]))
            for label, argv in jobs:
                elapsed, maxrss, _ = run(argv, shown_env)
                times.setdefault(label, []).append(elapsed)
                rss.setdefault(label, []).append(maxrss)
            for name in saves:
                folder = programs[name]
                # Each save starts from the same file, so every round measures the same work.
                write_ini(os.path.join(folder, "transport.ini"), sizes[name])
                _, _, out = run([os.path.join(folder, "transport_settings_savebench")], env)
                rows, ms = out.split()
                if int(rows) != sizes[name]:
                    sys.exit("savebench loaded %s rows, expected %d" % (rows, sizes[name]))
                saves[name].append(float(ms) / 1000)
            # The floor of a 100,000-row save: a plain QSettings that sets the same keys.
            write_ini(os.path.join(programs["100k"], "transport.ini"), sizes["100k"])
            _, _, out = run([os.path.join(programs["100k"], "transport_settings_savebench"), "--plain"], env)
            plain.append(float(out.split()[1]) / 1000)

        med = {k: statistics.median(v) for k, v in times.items()}
        mrss = {k: statistics.median(v) for k, v in rss.items()}
        extra10 = med["10k"] - med["empty"]
        extra100 = med["100k"] - med["empty"]
        print("startup ratio (editor/floor, empty file): %.3f   [%.1f ms / %.1f ms; target <= 1.25]"
              % (med["empty"] / med["floor"], med["empty"] * 1e3, med["floor"] * 1e3))
        print("load extra 10k entries: %.3f s" % extra10)
        print("load extra 100k entries: %.3f s   [target < 0.5 s]" % extra100)
        print("load growth 100k/10k: %.2f   [target <= 11]" % (extra100 / extra10))
        print("save 10k rows: %.3f s   [target < 0.1 s]" % statistics.median(saves["10k"]))
        print("save 100k rows: %.3f s   [target < 1 s]" % statistics.median(saves["100k"]))
        print("save 100k rows / plain QSettings save: %.3f   [%.3f s; target <= 1.10]"
              % (statistics.median(saves["100k"]) / statistics.median(plain), statistics.median(plain)))
        print("peak RSS extra 100k entries: %.1f MB   [target <= 70 MB; empty: %.1f MB]"
              % ((mrss["100k"] - mrss["empty"]) / 2**20, mrss["empty"] / 2**20))
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
