"""Query cost against list size, beside the plain-Python idioms it replaces.

Measures, for lists of 1e3 to 1e6 index tuples (i, j) with 100 distinct j:

- ``rowsieve.select('*', 3)`` with a warm index, and as the first query after a
  change (which rebuilds the index for that field);
- the two idioms a modeller would otherwise write: a scan
  ``[t for t in L if t[1] == 3]`` per query, and grouping the list once with
  ``defaultdict(list)`` and looking the group up;
- ``keyshelf.sum('*', 3)``, warm and after a change, against
  ``sum(..., complex())`` over a list comprehension of the matching keys'
  values (``LinExpr`` rebound to ``complex`` in the module, so that both
  sides add with the same C-level number addition);
- the whole network-flow model of bench_model.py at about 1e5, 3e5 and 1e6
  keys, built with keyshelf, by the expert (values grouped once, one `+=`
  loop per sum) and over key groupings (values looked up again);
- the whole IJKLM model of bench_ijklm.py for |I| from 1000 to 10500, the
  same three ways, and the naive scan at |I| = 1000.

The models are sampled as the pyperf benchmarks of bench_model.py and
bench_ijklm.py sample them (from the same heap state, collector on), but in
this process, median of 3 (of 1 for the network model at 1e6 keys): the
plot wants shapes over many sizes, which worker processes for every point
would make too slow.

Prints one table (operation, time, baseline, ratio = time / baseline) and
writes docs/bench.png. Unlike the other benchmarks, this one runs with the
stand-in siblings only.  Nothing here fails the run: a measurement that raises
is reported and left out, and a missing matplotlib only skips the picture.

    make bench                          # installed package in .venv
    PYTHONPATH=src python3 bench/plot.py  # in-place development build
"""

import math
import sys
import timeit
import traceback
from collections import defaultdict
from pathlib import Path
from time import perf_counter

import bench_ijklm
import bench_model
import harness
from harness import complex_sums
from varnokpy._keyshelf import keyshelf
from varnokpy._rowsieve import rowsieve

SIZES = (10**3, 10**4, 10**5, 10**6)
GROUPS = 100  # distinct values of the queried field: a bucket holds n / 100 members
OUTPUT = Path(__file__).resolve().parents[1] / "docs" / "bench.png"


# ---------------------------------------------------------------- timing

def per_call(run, prepare=None, min_total=0.2, rounds=3):
    """Best-of-rounds seconds for one call of ``run``.

    With ``prepare`` (the change that must precede every call), each call is
    timed alone and ``prepare`` stays outside the clock.
    """
    if prepare is None:
        timer = timeit.Timer(run)
        number, _ = timer.autorange()
        return min(timer.repeat(repeat=rounds, number=number)) / number
    best = math.inf
    for _ in range(rounds):
        calls, spent = 0, 0.0
        while spent < min_total or calls == 0:
            prepare()
            start = perf_counter()
            run()
            spent += perf_counter() - start
            calls += 1
        best = min(best, spent / calls)
    return best


def attempt(label, n, measure):
    """Run one measurement; on failure report it and return NaN."""
    try:
        return measure()
    except Exception:
        print("bench: %s at n=%d failed:\n%s" % (label, n, traceback.format_exc()),
              file=sys.stderr)
        return math.nan


# ---------------------------------------------------------------- the cases

def scan(L):
    return [t for t in L if t[1] == 3]


def group(L):
    groups = defaultdict(list)
    for t in L:
        groups[t[1]].append(t)
    return groups[3]


def measure_rowsieve(n):
    L = [(i // GROUPS, i % GROUPS) for i in range(n)]
    r = rowsieve(L)
    extra = (n, 0)

    def change():
        r.append(extra)
        r.pop()

    def query():
        return r.select("*", 3)

    times = {}
    times["select, warm index"] = attempt("select (warm)", n, lambda: (
        query(), per_call(query))[1])
    times["select, first after a change"] = attempt(
        "select (after change)", n, lambda: per_call(query, prepare=change))
    times["scan: list comprehension"] = attempt("scan", n, lambda: per_call(lambda: scan(L)))
    times["grouping: defaultdict(list)"] = attempt(
        "grouping", n, lambda: per_call(lambda: group(L)))
    return times


def measure_keyshelf(n):
    x = {(i // GROUPS, i % GROUPS): float(i % 7) for i in range(n)}
    d = keyshelf(x)
    k0 = next(iter(x))

    def change():
        d[k0] = x[k0]

    def query():
        return d.sum("*", 3)

    def comprehension():
        return sum([x[k] for k in x if k[1] == 3], complex())

    times = {}
    with complex_sums():
        times["keyshelf.sum, warm"] = attempt("keyshelf.sum (warm)", n, lambda: (
            query(), per_call(query))[1])
        times["keyshelf.sum, first after a change"] = attempt(
            "keyshelf.sum (after change)", n, lambda: per_call(query, prepare=change))
    times["sum over a list comprehension"] = attempt(
        "list comprehension sum", n, lambda: per_call(comprehension))
    return times


# Table rows: (operation, its baseline), both keys of the measured times.
COMPARISONS = [
    ("select, warm index", "scan: list comprehension"),
    ("select, first after a change", "scan: list comprehension"),
    ("select, first after a change", "grouping: defaultdict(list)"),
    ("keyshelf.sum, warm", "sum over a list comprehension"),
    ("keyshelf.sum, first after a change", "sum over a list comprehension"),
]


# ---------------------------------------------------------------- report

def seconds(t):
    if math.isnan(t):
        return "n/a"
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if t >= scale:
            return "%.3g %s" % (t / scale, unit)
    return "%.3g ns" % (t / 1e-9)


def times(ratio):
    return "{:,.0f}x".format(ratio) if ratio >= 1000 else "%.3gx" % ratio


def print_table(results):
    head = ("operation", "baseline", "n", "time", "baseline time", "ratio")
    rows = []
    for operation, baseline in COMPARISONS:
        for n in SIZES:
            t, b = results[n][operation], results[n][baseline]
            ratio = "n/a" if math.isnan(t) or math.isnan(b) else times(t / b)
            rows.append((operation, baseline, "%d" % n, seconds(t), seconds(b), ratio))
    widths = [max(len(r[i]) for r in rows + [head]) for i in range(len(head))]
    align = ["<", "<", ">", ">", ">", ">"]
    line = "  ".join("{:%s%d}" % (a, w) for a, w in zip(align, widths))
    print(line.format(*head))
    print("  ".join("-" * w for w in widths))
    for row in rows:
        print(line.format(*row))
    print("ratio = time / baseline time, as in the other benchmarks: below 1, the operation is faster.")


PANELS = [
    ("rowsieve: the members (i, j) with j == 3", [
        ("select, warm index", "o-"),
        ("select, first after a change", "s-"),
        ("scan: list comprehension", "^--"),
        ("grouping: defaultdict(list)", "v--"),
    ]),
    ("keyshelf: the sum of the values of the keys (i, 3)", [
        ("keyshelf.sum, warm", "o-"),
        ("keyshelf.sum, first after a change", "s-"),
        ("sum over a list comprehension", "^--"),
    ]),
]


MODEL_NODES = (1000, bench_model.NODES, bench_model.PLOT_NODES)
MODEL_LINES = (("keyshelf", "o-"), ("expert", "^--"), ("key-grouped", "v:"))


def measure_models(module, sizes, label, largest_repeats=3):
    """Median seconds of each way of writing the model, by number of keys
    (at the largest size, of ``largest_repeats`` samples)."""
    models = {}
    for size in sizes:
        try:
            medians, nkeys = module.models_in_process(size, repeats=3 if size < max(sizes) else largest_repeats)
        except Exception:
            print("bench: the %s at %d failed:\n%s" % (label, size, traceback.format_exc()), file=sys.stderr)
            continue
        models[nkeys] = medians
    return models


def naive_ijklm():
    """The IJKLM model by naive scan at its smallest size: {keys: seconds}."""
    try:
        data = bench_ijklm.instance(bench_ijklm.NAIVE_SIZE)
        spent = harness.median_samples(data, bench_ijklm.run_model(bench_ijklm.model_scan), repeats=3)
        return {len(bench_ijklm.keys_grouped(data)): spent}
    except Exception:
        print("bench: the naive IJKLM model failed:\n%s" % traceback.format_exc(), file=sys.stderr)
        return {}


def print_models(label, models, naive=None):
    for nkeys, t in sorted(models.items()):
        extra = ""
        if naive and nkeys in naive:
            extra = ", naive scan %s (%s)" % (seconds(naive[nkeys]), times(t["keyshelf"] / naive[nkeys]))
        print("%s with %d keys: keyshelf %s, expert %s (ratio %s), key-grouped %s (ratio %s)%s"
              % (label, nkeys, seconds(t["keyshelf"]), seconds(t["expert"]), times(t["keyshelf"] / t["expert"]),
                 seconds(t["key-grouped"]), times(t["keyshelf"] / t["key-grouped"]), extra))


def plot(results, network, ijklm, naive):
    try:
        import matplotlib
    except ImportError:
        print("bench: matplotlib is not installed; %s not written" % OUTPUT)
        return
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, len(PANELS) + 2, figsize=(21, 4.8))
    axes[1].sharey(axes[0])
    for ax, (title, lines) in zip(axes, PANELS):
        for label, style in lines:
            ax.plot(SIZES, [results[n][label] for n in SIZES], style, label=label)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("list size (members)")
        ax.set_title(title, fontsize=10)
        ax.grid(True, which="major", alpha=0.4)
        ax.legend(fontsize=8)
    axes[0].set_ylabel("time per query (s)")
    for ax, (models, xlabel, title), naive in zip(
            axes[-2:],
            ((network, "keys (k, i, j)", "network-flow model: every sum, built from a dict"),
             (ijklm, "keys (i, j, k, l, m)", "IJKLM model: keys, values, constraint sums")),
            (None, naive)):
        sizes = sorted(models)
        for label, style in MODEL_LINES:
            ax.plot(sizes, [models[n][label] for n in sizes], style, label=label)
        if naive:
            ax.plot(sorted(naive), [naive[n] for n in sorted(naive)], "kx", label="naive scan")
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel(xlabel)
        ax.set_ylabel("time per model (s)")
        ax.set_title(title, fontsize=10)
        ax.grid(True, which="major", alpha=0.4)
        ax.legend(fontsize=8)
    fig.suptitle("Query cost against list size (best of 3, %d distinct values in the field); "
                 "whole models (median of 3; of 1 at 1e6 keys)"
                 % GROUPS, fontsize=11)
    fig.tight_layout()
    OUTPUT.parent.mkdir(exist_ok=True)
    fig.savefig(OUTPUT, dpi=110)
    plt.close(fig)
    print("wrote %s" % OUTPUT)


def main():
    results = {}
    for n in SIZES:
        results[n] = {}
        results[n].update(measure_rowsieve(n))
        results[n].update(measure_keyshelf(n))
    # One sample each at 1e6 keys: the three take 12 s a round.
    network = measure_models(bench_model, MODEL_NODES, "network model", largest_repeats=1)
    ijklm = measure_models(bench_ijklm, bench_ijklm.PLOT_SIZES, "IJKLM model")
    naive = naive_ijklm()
    print_table(results)
    print_models("network model", network)
    print_models("IJKLM model", ijklm, naive)
    plot(results, network, ijklm, naive)

if __name__ == "__main__":
    main()
