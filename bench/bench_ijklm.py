"""keyshelf and rowsieve on the IJKLM model: five index sets, keys generated
by chained lookups, one constraint sum per member of I.

Data (`random.Random(20)`): |J| = |K| = |L| = |M| = 20; the sets of tuples
IJK (i, j, k), JKL (j, k, l) and KLM (k, l, m), each possible triple kept with
probability 0.05, so that an i has about 20 pairs (j, k), a pair (j, k) about
one l and a pair (k, l) about one m. The variables x[i, j, k, l, m] exist for
each (i, j, k) in IJK, (j, k, l) in JKL and (k, l, m) in KLM, about 20 per i;
the constraints are, for each i, the sum of x[i, ...] over the other four
indices. A third of the lookups of l or m find nothing.

Three ways to write it, each whole (key generation, one distinct value
object per key, the constraint sums):

- the natural code with this package: JKL and KLM are rowsieves, the keys
  come from `JKL.select(j, k, '*')` and `KLM.select(k, l, '*')`, the values
  live in a keyshelf and each constraint is `x.sum(i, '*', '*', '*', '*')`;
- the expert's: dicts of JKL and KLM grouped beforehand (`JKL_by_jk[j, k]`,
  the list of l; `KLM_by_kl[k, l]`, the list of m), part of the data as
  published, and the values grouped once by i (`by_i[i].append(v)`), each
  constraint one `+=` loop over its list;
- key-grouped: the same dicts and generation, the keys grouped by i and each
  value looked up again in the dict of values;

and, at the smallest size only, the naive scan: every lookup scans the whole
set of triples and every constraint the whole dict of values.

Figures at |I| = 10500: the whole model (against the expert's and the
key-grouped code), and its parts: key generation (against the lookups in the
pre-grouped dicts), the constraint sums with the grouping they need (on
values built untimed, a fresh keyshelf for each sample) and the same sums
warm. The whole models are pyperf benchmarks (harness.timed_samples: worker
processes, every sample from the same heap state, collector on); the parts
and the naive scan, a second a run, are sampled the same way in this
process (harness.alternating_samples). `LinExpr` is rebound to `complex`
(harness.complex_sums) and the values are distinct floats, so that both
sides add with the same number addition. plot.py draws the three ways at
|I| from 1000 to 10500.

    PYTHONPATH=src python3 bench/bench_ijklm.py [--fast | --rigorous | pyperf options]
"""
import random
import sys
from collections import defaultdict

import harness
from harness import complex_sums, figure, timed_samples

harness.load_siblings()
from varnokpy._keyshelf import keyshelf  # noqa: E402
from varnokpy._rowsieve import rowsieve  # noqa: E402

SIDE = 20            # |J| = |K| = |L| = |M|
DENSITY = 0.05       # the probability that a triple is kept
SIZE = 10500         # |I| of the figures with a target
PLOT_SIZES = (1000, 3000, 10500)   # |I| of the plot
NAIVE_SIZE = 1000    # the naive scan is timed at this size only
SEED = 20
KEYS_TARGET = 1.6
SUMS_TARGET = 1.0


# ------------------------------------------------------------------ data

def instance(size):
    """I, the triples of IJK, JKL, KLM (lists, in generation order) and the
    pre-grouped dicts of JKL and KLM."""
    rng = random.Random(SEED)
    side = range(SIDE)
    jkl = [(j, k, l) for j in side for k in side for l in side if rng.random() < DENSITY]
    klm = [(k, l, m) for k in side for l in side for m in side if rng.random() < DENSITY]
    ijk = [(i, j, k) for i in range(size) for j in side for k in side if rng.random() < DENSITY]
    jkl_by_jk, klm_by_kl = defaultdict(list), defaultdict(list)
    for j, k, l in jkl:
        jkl_by_jk[j, k].append(l)
    for k, l, m in klm:
        klm_by_kl[k, l].append(m)
    return {"I": range(size), "IJK": ijk, "JKL": jkl, "KLM": klm,
            "JKL_by_jk": dict(jkl_by_jk), "KLM_by_kl": dict(klm_by_kl)}


def with_rowsieves(data):
    """The data with JKL and KLM as rowsieves, as the natural code has them."""
    return dict(data, JKL=rowsieve(data["JKL"]), KLM=rowsieve(data["KLM"]))


# ------------------------------------------------------------------ the parts

def keys_select(data):
    """The keys, found with rowsieve.select (its indexes built on the way)."""
    JKL, KLM = data["JKL"], data["KLM"]
    JKL.clean()
    KLM.clean()
    return [(i, j, k, l, m)
            for i, j, k in data["IJK"]
            for _, _, l in JKL.select(j, k, "*")
            for _, _, m in KLM.select(k, l, "*")]


def keys_grouped(data):
    """The keys, found in the pre-grouped dicts."""
    jkl, klm = data["JKL_by_jk"], data["KLM_by_kl"]
    empty = ()
    return [(i, j, k, l, m)
            for i, j, k in data["IJK"]
            for l in jkl.get((j, k), empty)
            for m in klm.get((k, l), empty)]


def keys_scan(data):
    """The keys, every lookup a scan of the whole set."""
    JKL, KLM = data["JKL"], data["KLM"]
    return [(i, j, k, l, m)
            for i, j, k in data["IJK"]
            for jj, kk, l in JKL if jj == j and kk == k
            for kk2, ll, m in KLM if kk2 == k and ll == l]


def values(keys):
    """One distinct value object per key, as variables are."""
    return {key: float(n % 1000) for n, key in enumerate(keys)}


def sums_keyshelf(I, x):
    return [x.sum(i, "*", "*", "*", "*") for i in I]


def group_values(x):
    by_i = defaultdict(list)
    for key, v in x.items():
        by_i[key[0]].append(v)
    return by_i


def sums_grouped(I, by_i):
    sums = []
    empty = ()
    for i in I:
        s = complex()
        for v in by_i.get(i, empty):
            s += v
        sums.append(s)
    return sums


def sums_value_grouped(I, x):
    return sums_grouped(I, group_values(x))


def sums_key_grouped(I, x):
    by_i = defaultdict(list)
    for key in x:
        by_i[key[0]].append(key)
    empty = ()
    return [sum((x[key] for key in by_i.get(i, empty)), complex()) for i in I]


def sums_scan(I, x):
    return [sum((v for key, v in x.items() if key[0] == i), complex()) for i in I]


# ------------------------------------------------------------------ whole models

def model_keyshelf(data):
    x = keyshelf(values(keys_select(data)))
    return sums_keyshelf(data["I"], x), x


def model_expert(data):
    x = values(keys_grouped(data))
    return sums_value_grouped(data["I"], x), x


def model_key_grouped(data):
    x = values(keys_grouped(data))
    return sums_key_grouped(data["I"], x), x


def model_scan(data):
    x = values(keys_scan(data))
    return sums_scan(data["I"], x), x


MODELS = {"keyshelf": model_keyshelf, "expert": model_expert, "key-grouped": model_key_grouped}


def run_model(model):
    def run(data):
        with complex_sums():
            return model(data)
    return run


def models_in_process(size, repeats=3):
    """Median seconds of each model at ``size``, sampled in this process
    (for the plot), and the number of keys."""
    data = instance(size)
    natural = with_rowsieves(data)
    times = {name: harness.median_samples(natural if name == "keyshelf" else data, run_model(model),
                                          repeats=repeats)
             for name, model in MODELS.items()}
    return times, len(keys_grouped(data))


def check(size):
    """The models agree at ``size`` (the naive scan too, at its size);
    returns the number of keys."""
    data = instance(size)
    natural = with_rowsieves(data)
    with complex_sums():
        sums, x = model_keyshelf(natural)
        assert model_expert(data)[0] == sums, "keyshelf and the expert's model disagree"
        assert model_key_grouped(data)[0] == sums, "keyshelf and the key-grouped model disagree"
        if size == NAIVE_SIZE:
            assert model_scan(data)[0] == sums, "keyshelf and the naive scan disagree"
    return len(x)


# ------------------------------------------------------------------ figures

def measure():
    def natural(size):
        return lambda: with_rowsieves(instance(size))

    def plain(size):
        return lambda: instance(size)

    def built(make):
        """Per sample, untimed: the values of the keys in the container
        ``make`` builds (a keyshelf, or a dict as is)."""
        return lambda data: (data["I"], make(values(keys_grouped(data))))

    def run_sums(sums):
        def run(state):
            with complex_sums():
                return sums(*state)
        return run

    def warm(sums, make):
        """Per sample, untimed: the state ``make`` builds, every sum made once
        on it (for a keyshelf, its key list and index built on the way)."""
        def fresh(data):
            state = data["I"], make(values(keys_grouped(data)))
            run_sums(sums)(state)
            return state
        return fresh

    b = "|I|=%d" % SIZE
    t = {}
    # The whole model, each way.
    t["keyshelf"] = timed_samples("ijklm %s keyshelf" % b, natural(SIZE), run_model(model_keyshelf))
    t["expert"] = timed_samples("ijklm %s expert" % b, plain(SIZE), run_model(model_expert))
    t["key-grouped"] = timed_samples("ijklm %s key-grouped" % b, plain(SIZE), run_model(model_key_grouped))
    if harness.in_pyperf_worker():
        return

    # Its parts, sampled in this process, the two sides in turn: key
    # generation; the constraint sums with their grouping, on values built
    # untimed; the same sums warm (the keyshelf's index built, the expert's
    # lists grouped, untimed).
    data = instance(SIZE)
    natural_data = with_rowsieves(data)
    t["keys select"], t["keys dicts"] = harness.alternating_samples(
        [(natural_data, keys_select, None), (data, keys_grouped, None)])
    t["sums keyshelf"], t["sums expert"] = harness.alternating_samples(
        [(data, run_sums(sums_keyshelf), built(keyshelf)), (data, run_sums(sums_value_grouped), built(dict))])
    t["warm keyshelf"], t["warm expert"] = harness.alternating_samples(
        [(data, run_sums(sums_keyshelf), warm(sums_keyshelf, keyshelf)),
         (data, run_sums(sums_grouped), warm(sums_grouped, group_values))])
    del data, natural_data

    nkeys = len(keys_grouped(instance(SIZE)))
    whole = "IJKLM model, |I|=%d (%d keys)" % (SIZE, nkeys)
    figure(whole, t["keyshelf"], t["expert"], None, "expert: pre-grouped dicts, values grouped by i")
    figure(whole, t["keyshelf"], t["key-grouped"], None, "key-grouped: pre-grouped dicts, keys grouped")
    figure("  its key generation with select", t["keys select"], t["keys dicts"], KEYS_TARGET,
           "lookups in the pre-grouped dicts")
    figure("  its constraint sums with grouping", t["sums keyshelf"], t["sums expert"], SUMS_TARGET,
           "expert: values grouped by i, += loops")
    figure("  its constraint sums, warm", t["warm keyshelf"], t["warm expert"], None,
           "expert: += loops over the grouped values")
    # The naive scan takes a second a run even at the smallest size: sampled
    # here, three times, rather than in worker processes.
    small = check(NAIVE_SIZE)
    data = instance(NAIVE_SIZE)
    ours, scan = harness.alternating_samples([(with_rowsieves(data), run_model(model_keyshelf), None),
                                              (data, run_model(model_scan), None)], repeats=3)
    figure("IJKLM model, |I|=%d (%d keys)" % (NAIVE_SIZE, small), ours, scan, None,
           "naive scan: each lookup and sum a pass over its set")
    print("IJKLM: |J|=|K|=|L|=|M|=%d, triples kept with probability %.2f; |I|=%d: %d keys (%.1f a constraint)"
          % (SIDE, DENSITY, SIZE, nkeys, nkeys / SIZE))


if __name__ == "__main__":
    sys.exit(harness.run("bench_ijklm.py: the IJKLM model, keyshelf and rowsieve against the expert's code",
                         measure))
