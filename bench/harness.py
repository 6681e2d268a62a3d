"""What the benchmarks share: the two sibling settings, the timers, the table.

In the shipped package the sibling modules (`_util`, `_core`, `_matrixapi`,
`_exception`, `_vrk`) are compiled modules, while this repository has Python
stand-ins for them. Every figure is therefore measured twice: with the
stand-ins of src/varnokpy, and with the same files compiled by Cython into
build/siblings (tools/compiled_siblings.py) and loaded in their place.

A benchmark script run directly is the parent. It runs itself again once per
setting as a worker, with the setting named in the environment variable
VARNOK_BENCH_SIBLINGS; the worker loads that setting's siblings before any
varnokpy submodule is imported, measures, prints which siblings it loaded and
the cost of one `_isstr` call, and hands its figures back as one line of
JSON. The parent relays the worker's other lines, prefixed with the setting,
and prints one table with both settings side by side:

- ratio: the operation's time over its baseline's, both timed in the same
  worker; below 1 the operation is faster; a miss of the target is marked
  OVER;
- c/s: the operation's own time with the compiled siblings over its time with
  the stand-ins; above 1.25 is marked OVER.

A script in this directory starts with

    import harness
    harness.load_siblings()
    from varnokpy... import ...

and ends with `sys.exit(harness.run(TITLE, measure))`, where `measure()`
records its figures with `harness.figure(...)`. Imported by another script
(plot.py imports bench_model and bench_ijklm), `load_siblings()` loads
nothing and the stand-ins are used.

Figures of whole models and of long loops are pyperf benchmarks instead
(`timed_samples`): within a setting's worker, pyperf runs each in worker
processes of its own and keeps the statistics, and every sample starts from
the same heap state, with the collector on. Those workers only sample; the
setting's worker turns the medians into figures. The parts of a model are
sampled the same way in the setting's worker (`alternating_samples`).

The clock is the process's CPU time, so that other work on a shared machine
does not blur the ratios.
"""

import contextlib
import gc
import json
import os
import statistics
import subprocess
import sys
import time
import timeit
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tools"))
import compiled_siblings  # noqa: E402

SIBLINGS = ROOT / "build" / "siblings"
SETTINGS = ("stand-ins", "compiled")
SETTING_VARIABLE = "VARNOK_BENCH_SIBLINGS"
RESULT_PREFIX = "bench-result: "
CLOCK = time.process_time
REPEATS = 7
SLOWDOWN_LIMIT = 1.25  # highest accepted c/s


# ------------------------------------------------------------------ settings

def setting():
    """The setting this process measures with, or None outside a worker."""
    return os.environ.get(SETTING_VARIABLE)


def load_siblings():
    """In a worker, makes the later imports load the siblings of its setting.
    Call before any varnokpy submodule is imported."""
    chosen = setting()
    if chosen is None or chosen == "stand-ins":
        return
    if chosen != "compiled":
        raise SystemExit("%s=%r: expected one of %s" % (SETTING_VARIABLE, chosen, ", ".join(SETTINGS)))
    if not (SIBLINGS / "varnokpy").is_dir():
        raise SystemExit("%s is missing: run `make %s/.built` first" % (SIBLINGS, SIBLINGS.relative_to(ROOT)))
    compiled_siblings.use(SIBLINGS)


def loaded_siblings():
    """The names of the siblings imported so far, and where they came from."""
    found = []
    for name in compiled_siblings.SIBLINGS:
        module = sys.modules.get("varnokpy." + name)
        if module is not None:
            found.append((name, getattr(module, "__file__", "?")))
    return found


def check_siblings(chosen):
    """Prints which siblings this worker loaded; exits if they are not those
    of its setting."""
    import varnokpy._util  # noqa: F401  (at least one sibling is loaded)

    compiled = compiled_siblings.in_use()
    found = loaded_siblings()
    places = sorted({os.path.relpath(os.path.dirname(path), ROOT) for _, path in found})
    print("siblings loaded: %s from %s; compiled_siblings.in_use() = %s"
          % (", ".join(name for name, _ in found), ", ".join(places), compiled))
    if compiled != (chosen == "compiled"):
        raise SystemExit("the %s setting loaded the wrong siblings" % chosen)


def isstr_cost():
    """Seconds per `_isstr(7)`, the name read from varnokpy._util's globals:
    the call that `rowsieve.select` makes once per argument."""
    import varnokpy._util

    return median_per_call("_isstr(7)", namespace=vars(varnokpy._util))


@contextlib.contextmanager
def complex_sums():
    """Rebinds `LinExpr` of varnokpy._keyshelf to `complex` while the block
    runs: its sums start from `complex()` and add every term with the
    number's own addition, as the hand-written baselines do with
    `sum(..., complex())`."""
    import varnokpy._keyshelf as ks

    saved = ks.LinExpr
    ks.LinExpr = complex
    try:
        yield
    finally:
        ks.LinExpr = saved


# ------------------------------------------------------------------ timers

def median_per_call(stmt, namespace=None, setup="pass", number=None, repeats=REPEATS):
    """Median seconds per execution of ``stmt`` (a string, timed directly)."""
    timer = timeit.Timer(stmt, setup=setup, timer=CLOCK, globals=namespace)
    if number is None:
        number, _ = timer.autorange()
    return statistics.median(timer.repeat(repeat=repeats, number=number)) / number


def median_first_call(stmt, prepare, namespace, repeats=REPEATS):
    """Median seconds of ``stmt`` run once right after ``prepare`` (untimed)."""
    times = []
    for _ in range(repeats):
        exec(prepare, namespace)
        times.append(timeit.Timer(stmt, timer=CLOCK, globals=namespace).timeit(number=1))
    return statistics.median(times)


def median_first_call_collected(stmt, prepare, namespace, repeats=REPEATS):
    """As median_first_call, but with the cyclic collector on while ``stmt``
    runs, as users run it (timeit turns it off), from the same state each
    time (a full collection in the untimed preparation). Also returns the
    median time of the young collection right after ``stmt``: the pass that
    its allocations left owed, which the next allocation would run."""
    namespace.setdefault("gc", gc)
    times, owed = [], []
    for _ in range(repeats):
        exec(prepare, namespace)
        gc.collect()
        timer = timeit.Timer(stmt, setup="gc.enable()", timer=CLOCK, globals=namespace)
        times.append(timer.timeit(number=1))
        start = CLOCK()
        gc.collect(0)
        owed.append(CLOCK() - start)
    return statistics.median(times), statistics.median(owed)


def paired_medians(first, second, repeats=11):
    """Median single-run times of two slow timers (timeit.Timer), run
    alternately so that drift in the machine's load affects both alike."""
    a, b = [], []
    for _ in range(repeats):
        a.append(first.timeit(1))
        b.append(second.timeit(1))
    return statistics.median(a), statistics.median(b)


def paired_per_call(stmt, base_stmt, namespace, repeats=REPEATS):
    """Median seconds per execution of ``stmt`` and of ``base_stmt``, timed
    in alternation, repeat by repeat, so that a burst of load on the machine
    falls on both sides of a ratio."""
    ours, base = (timeit.Timer(s, timer=CLOCK, globals=namespace) for s in (stmt, base_stmt))
    number, _ = base.autorange()
    samples = [(ours.timeit(number), base.timeit(number)) for _ in range(repeats)]
    return tuple(statistics.median(side) / number for side in zip(*samples))


def median_samples(data, run, fresh=None, repeats=REPEATS):
    """Median seconds of ``run``, each sample taken in this process as
    timed_samples takes them in a pyperf worker (same heap state, collector
    on): for the plot, which wants shapes over many sizes, and for figures
    too slow for several worker processes."""
    times = []
    for _ in range(repeats):
        argument = data if fresh is None else fresh(data)
        gc.collect()
        start = CLOCK()
        result = run(argument)
        times.append(CLOCK() - start)
        del result, argument
    return statistics.median(times)


def alternating_samples(sides, repeats=REPEATS):
    """Median seconds of each side, a list of (data, run, fresh) as
    median_samples takes them, sampled in turn, repeat by repeat, so that a
    burst of load on the machine falls on every side alike. For the parts of
    a model: runs of tens of milliseconds, which a worker process per side
    would cost several times over; only the data and the one sample's
    argument are alive while it runs, as in a pyperf worker."""
    times = [[] for _ in sides]
    for _ in range(repeats):
        for spent, (data, run, fresh) in zip(times, sides):
            spent.append(median_samples(data, run, fresh, repeats=1))
    return [statistics.median(spent) for spent in times]


# ------------------------------------------------------------------ pyperf

# The figures of whole models and of long loops are pyperf benchmarks: in a
# setting's worker, a pyperf Runner runs each benchmark in worker processes
# of its own (the setting's environment variable passed on), each with a
# warm-up run and PYPERF_VALUES values, and keeps statistics; the median of
# the values becomes the figure's time. A sample is a whole run of 5 ms or
# more on the CPU clock, so one run makes one value: calibrating the number
# of runs per value would cost one more worker process per benchmark and
# change nothing. Options of pyperf given to a benchmark script (--fast,
# --rigorous, -p N, --loops 0, ...) reach the Runner.
PYPERF_PROCESSES = 3   # pyperf's default, 20, would take most of an hour over every model figure
PYPERF_VALUES = 2
PYPERF_LOOPS = 1
_runner = None


def runner():
    """The process's pyperf Runner (created on first use: pyperf allows one)."""
    global _runner
    if _runner is None:
        import pyperf

        _runner = pyperf.Runner(processes=PYPERF_PROCESSES, values=PYPERF_VALUES, loops=PYPERF_LOOPS)
        _runner.argparser.add_argument("--strict", action="store_true",
                                       help="exit with status 1 if a figure misses its target")
        # Quiet: pyperf prints one line per benchmark (mean +- standard
        # deviation) instead of its report with advice; -v brings that back.
        _runner.argparser.set_defaults(inherit_environ=[SETTING_VARIABLE], quiet=True)
        _runner.parse_args()
    return _runner


def in_pyperf_worker():
    """Whether this process is one of pyperf's workers, which time one
    benchmark and report nothing else."""
    return _runner is not None and _runner.args.worker


def timed_samples(name, setup, run, fresh=None):
    """A pyperf benchmark of ``run``; returns the median seconds of one run
    (None in a pyperf worker, which only takes the samples).

    ``setup()`` makes the data, once per worker process, untimed;
    ``fresh(data)``, if given, makes the argument of each run from it,
    untimed (the data itself otherwise). Every sample starts in the same
    heap state: the result of the previous run and its argument freed, then
    `gc.collect()`, and runs with the collector on, as users run a model.
    The clock is CLOCK, as for the other figures."""
    cache = []

    def time_func(loops):
        if not cache:
            cache.append(setup())
        data = cache[0]
        spent = 0.0
        for _ in range(loops):
            argument = data if fresh is None else fresh(data)
            gc.collect()
            start = CLOCK()
            result = run(argument)
            spent += CLOCK() - start
            del result, argument
        return spent

    bench = runner().bench_time_func(name, time_func)
    return None if in_pyperf_worker() else bench.median()


# ------------------------------------------------------------------ figures

_figures = []


def figure(name, ours, base, target, baseline):
    """Records one figure: the operation's and its baseline's seconds, the
    highest accepted ratio (None: no target) and the baseline's name."""
    _figures.append({"name": name, "time": ours, "base": base, "target": target, "baseline": baseline})


def run(title, measure):
    """The entry point of a benchmark script: in a worker, `measure()` and
    hand back its figures; in the parent, run the workers and print the
    table. Returns the exit status (1 for a miss with --strict)."""
    chosen = setting()
    if chosen is not None:
        work(chosen, measure)
        return 0
    return report(title, {name: run_worker(name) for name in SETTINGS})


def work(chosen, measure):
    measure()
    if in_pyperf_worker():
        return
    check_siblings(chosen)
    isstr = isstr_cost()
    print("one _isstr(7) call: %s" % seconds(isstr))
    print(RESULT_PREFIX + json.dumps({"isstr": isstr, "figures": _figures}))


def run_worker(name):
    """Runs this script as the worker of setting ``name``; returns its
    results after relaying its other output."""
    env = dict(os.environ, **{SETTING_VARIABLE: name})
    result = None
    with subprocess.Popen([sys.executable] + sys.argv, env=env, stdout=subprocess.PIPE, text=True) as worker:
        for line in worker.stdout:
            if line.startswith(RESULT_PREFIX):
                result = json.loads(line[len(RESULT_PREFIX):])
            else:
                print("[%s] %s" % (name, line.rstrip("\n")))
                sys.stdout.flush()
    if worker.returncode != 0 or result is None:
        raise SystemExit("the %s worker of %s failed (exit status %d)" % (name, sys.argv[0], worker.returncode))
    return result


# ------------------------------------------------------------------ the table

def seconds(t):
    """``t`` seconds in the largest unit that keeps it at 1 or more."""
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if t >= scale or unit == "ns":
            x = t / scale
            return "%.*f %s" % (2 if x < 9.995 else 1 if x < 99.95 else 0, x, unit)


def report(title, results):
    stand_ins, compiled = (results[name]["figures"] for name in SETTINGS)
    assert [f["name"] for f in stand_ins] == [f["name"] for f in compiled], "the workers measured different figures"
    print("\n%s" % title)
    print("ratio = time / baseline time; c/s = the operation's time with the compiled siblings / with the "
          "stand-ins (OVER above %.2f)" % SLOWDOWN_LIMIT)
    print("one _isstr(7) call: %s with the stand-ins, %s with the compiled siblings"
          % (seconds(results["stand-ins"]["isstr"]), seconds(results["compiled"]["isstr"])))
    line = "%-50s %6s | %9s %9s %11s | %9s %9s %11s | %10s | %s"
    print(line % ("", "", "", "stand-ins", "", "", "compiled", "", "", ""))
    print(line % ("figure", "target", "time", "baseline", "ratio", "time", "baseline", "ratio", "c/s",
                  "baseline"))
    over = {name: [] for name in SETTINGS}
    slower = []
    for s, c in zip(stand_ins, compiled):
        cells = []
        for name, f in zip(SETTINGS, (s, c)):
            ratio = f["time"] / f["base"]
            missed = f["target"] is not None and ratio > f["target"]
            if missed:
                over[name].append(f["name"])
            cells += [seconds(f["time"]), seconds(f["base"]), "%6.2f%s" % (ratio, " OVER" if missed else "     ")]
        slowdown = c["time"] / s["time"]
        if slowdown > SLOWDOWN_LIMIT:
            slower.append(s["name"])
        target = "-" if s["target"] is None else "%.2f" % s["target"]
        print(line % tuple([s["name"], target] + cells
                           + ["%5.2f%s" % (slowdown, " OVER" if slowdown > SLOWDOWN_LIMIT else "     "),
                              s["baseline"]]))
    print("%d figures" % len(stand_ins))
    print("  over target with the stand-ins: %s" % describe(over["stand-ins"]))
    print("  over target with the compiled siblings: %s" % describe(over["compiled"]))
    print("  c/s above %.2f: %s" % (SLOWDOWN_LIMIT, describe(slower)))
    sys.stdout.flush()
    missed = over["stand-ins"] or over["compiled"] or slower
    return 1 if missed and "--strict" in sys.argv else 0


def describe(names):
    return "none" if not names else "%d: %s" % (len(names), "; ".join(name.strip() for name in names))
