#!/usr/bin/env python3
"""Prints the benchmark's table from a report file under bench/results/.

  bench/report.py [REPORT.json]     the table, as Markdown, and the targets
                                    (default: the latest report)
  bench/report.py --check [REPORT]  recomputes the ratios, intervals and targets
                                    from the report's raw rounds and says whether
                                    they match

bench/run.py imports this file: the intervals and the targets are computed
here, from the rounds a report keeps, so that anyone holding the file can
compute them again and get the same figures.
"""

import argparse
import functools
import json
import math
import random
import statistics
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
RESULTS = ROOT / "bench" / "results"
# Format 1 also kept secondary figures and more about the machine; everything
# read here is in both.
FORMAT = "mavo-bench-report/2"
FORMATS = ("mavo-bench-report/1", FORMAT)

# The floor is the least a wrapper of this design can cost: a static program
# that only vforks, execs the tool with the programs' vector and waits. It
# runs the per-call part, the counts and peak RSS, but not the real job,
# where its cost would vanish in the job's spread.
VARIANTS = ("direct", "floor", "sh", "dynamic", "static", "musl")
WRAPPERS = VARIANTS[1:]
OURS = ("dynamic", "static", "musl")
JOB_VARIANTS = ("direct", "sh", *OURS)
TITLES = {"direct": "direct", "floor": "floor", "sh": "sh wrapper", "dynamic": "dynamic glibc",
          "static": "static glibc", "musl": "static musl"}

# What a target is judged on: the upper end of the interval of a figure that
# is taken over rounds (so one lucky run cannot meet it), the largest of the
# counts for the instruction count, the largest sample for peak RSS.
TARGETS = (
    {"id": "call-musl", "variant": "musl", "figure": "call_overhead_to_sh", "limit": 0.5,
     "text": "per-call overhead, static musl build: at most 0.5 times the sh wrapper's"},
    {"id": "call-musl-floor", "variant": "musl", "figure": "call_overhead_to_floor",
     "limit": 1.25, "needs": "floor",
     "text": "per-call overhead, static musl build: within 1.25 times the floor's"},
    {"id": "instructions-musl", "variant": "musl", "figure": "instructions_largest",
     "limit": 25_000,
     "text": "instructions of the wrapper alone, static musl build: at most 25,000"},
    {"id": "rss-musl", "variant": "musl", "figure": "rss_kb", "limit": 300,
     "text": "peak RSS of the wrapper alone, static musl build: at most 300 kB"},
    {"id": "job-musl", "variant": "musl", "figure": "job_ratio", "limit": 1.03,
     "text": "real job, static musl build: within 1.03 times direct"},
    {"id": "call-static", "variant": "static", "figure": "call_overhead_to_sh", "limit": 1.0,
     "strict": True, "text": "per-call overhead, static glibc build: below the sh wrapper's"},
    {"id": "call-dynamic", "variant": "dynamic", "figure": "call_overhead_to_sh", "limit": 1.15,
     "text": "per-call overhead, dynamic glibc build: at most 1.15 times the sh wrapper's"},
    {"id": "job-dynamic", "variant": "dynamic", "figure": "job_ratio", "limit": 1.06,
     "text": "real job, dynamic glibc build: within 1.06 times direct"},
)


# ---------------------------------------------------------------- statistics

def stat(values):
    """Median, min, max and count of a list of numbers."""
    values = list(values)
    return {"median": statistics.median(values), "min": min(values), "max": max(values),
            "n": len(values)}


@functools.lru_cache(maxsize=8)
def resample_indices(n, resamples, seed):
    """The bootstrap's resamples of round indices, drawn with replacement
    from a generator seeded with `seed` alone, so that they are the same
    wherever the report is read again."""
    rng = random.Random(seed)
    return [[rng.randrange(n) for _ in range(n)] for _ in range(resamples)]


def percentile_interval(estimates, confidence):
    """The percentile interval: the estimates at the lower and upper
    (1 - confidence) / 2 tails, nearest rank."""
    s = sorted(estimates)
    tail = (1.0 - confidence) / 2.0
    lo = s[max(0, math.floor(tail * len(s)))]
    hi = s[min(len(s) - 1, math.ceil((1.0 - tail) * len(s)) - 1)]
    return lo, hi


def bootstrap(statistic, n, opts):
    """Percentile bootstrap interval of statistic(indices) over rounds:
    whole rounds are resampled, so every variant of a round stays paired
    with the direct run of the same round."""
    draws = resample_indices(n, opts["resamples"], opts["seed"])
    lo, hi = percentile_interval([statistic(ix) for ix in draws], opts["confidence"])
    return {"low": lo, "high": hi, "confidence": opts["confidence"],
            "resamples": opts["resamples"], "seed": opts["seed"]}


def derive(raw, variants, opts):
    """The within-round figures and their intervals, from the raw rounds:
    the real job's ratio to direct and the per-call overhead (minus
    direct), each taken within a round and then the median over the
    rounds; and the median overhead over the sh wrapper's, and over the
    floor's. A variant that did not run the real job (the floor) has no
    job figures."""
    job, call = raw["job_wall_ns"], raw["call_wall_ns"]
    nj, nc = len(job["direct"]), len(call["direct"])
    all_j, all_c = list(range(nj)), list(range(nc))
    out = {"job_ratio": {}, "call_overhead_ms": {},
           "call_overhead_to_sh": {}, "call_overhead_to_floor": {}}

    def med_ratio(v, ix):
        return statistics.median(job[v][i] / job["direct"][i] for i in ix)

    def med_overhead(v, ix):
        return statistics.median((call[v][i] - call["direct"][i]) * 1e-6 for i in ix)

    def over(v, ref):
        # The ratio of the two medians: a round where the direct run
        # waited for a core would make a ratio within the round
        # meaningless, while each median shrugs it off.
        def ratio(ix):
            r = med_overhead(ref, ix)
            return med_overhead(v, ix) / r if r > 0 else math.inf
        per_round = [(call[v][i] - call["direct"][i]) / (call[ref][i] - call["direct"][i])
                     for i in all_c if call[ref][i] > call["direct"][i]]
        return {"median": ratio(all_c), "min": min(per_round, default=None),
                "max": max(per_round, default=None), "n": nc,
                "note": f"median: the median overhead over the {TITLES[ref]}'s median overhead;"
                        " min and max: the ratio within single rounds",
                "interval": bootstrap(ratio, nc, opts)}

    for v in variants:
        if v == "direct":
            continue
        if v in job:
            ratios = [job[v][i] / job["direct"][i] for i in all_j]
            out["job_ratio"][v] = {**stat(ratios),
                                   "interval": bootstrap(lambda ix: med_ratio(v, ix), nj, opts)}
        overheads = [(call[v][i] - call["direct"][i]) * 1e-6 for i in all_c]
        out["call_overhead_ms"][v] = {**stat(overheads),
                                      "interval": bootstrap(lambda ix: med_overhead(v, ix), nc,
                                                            opts)}
        if v in OURS:
            out["call_overhead_to_sh"][v] = over(v, "sh")
            if "floor" in variants and "floor" in call:
                out["call_overhead_to_floor"][v] = over(v, "floor")
    return out


def judge(report):
    """Each target with its figure and whether it is met."""
    figures, measured = report["figures"], report["variants"]
    results = []
    for t in TARGETS:
        r = {"id": t["id"], "text": t["text"], "variant": t["variant"], "figure": t["figure"],
             "limit": t["limit"], "comparison": "<" if t.get("strict") else "<="}
        v = t["variant"]
        missing = next((x for x in (v, t.get("needs")) if x
                        and not measured.get(x, {}).get("measured")), None)
        if missing:
            reason = (measured[missing].get("reason") if missing in measured
                      else "not in this report (an older one)")
            r.update(status="not measured", value=None,
                     detail=(f"{TITLES[missing]}: " if missing != v else "")
                     + (reason or "variant not measured"))
            results.append(r)
            continue
        fig = figures.get(t["figure"], {}).get(v)
        within = (lambda x: x < t["limit"]) if t.get("strict") else (lambda x: x <= t["limit"])
        if fig is None:
            r.update(status="not measured", value=None,
                     detail=report.get("not_measured", {}).get(t["figure"], "figure missing"))
        elif "interval" in fig:
            lo, hi = fig["interval"]["low"], fig["interval"]["high"]
            r.update(value=fig["median"], low=lo, high=hi,
                     judged_on=f"upper end of the {fig['interval']['confidence']:.0%} interval")
            if within(hi):
                r.update(status="met", detail="the whole interval is within the limit")
            elif within(lo):
                r.update(status="not met", detail="the interval straddles the limit")
            else:
                r.update(status="not met", detail="the whole interval is beyond the limit")
        else:
            r.update(value=fig["max"], judged_on=fig.get("judged_on", "largest value"))
            r.update(status="met" if within(fig["max"]) else "not met", detail="")
        results.append(r)
    return results


# ---------------------------------------------------------------- reading

def latest_report():
    """The report under bench/results/ with the latest date, a full run's
    before a quick run's."""
    reports = [(not r.get("options", {}).get("quick"), r.get("date", ""), path)
               for path in RESULTS.glob("*.json") for r in [json.loads(path.read_text())]]
    if not reports:
        raise SystemExit(f"report: no report in {RESULTS}")
    return max(reports)[2]


def load(path):
    data = json.loads(Path(path).read_text())
    if data.get("format") not in FORMATS:
        raise SystemExit(f"report: {path} is not a report of the formats {', '.join(FORMATS)}")
    return data


def commit_name(report):
    """The commit measured: `git describe --always --dirty` from format 2
    on; format 1 kept the short hash and whether the tree was dirty."""
    c = report["commit"]
    if isinstance(c, str):
        return c
    return c.get("short", "?") + ("-dirty" if c.get("dirty") else "")


# ---------------------------------------------------------------- the table

def _mi(s, digits):
    """median (low-high of the interval)"""
    if s is None:
        return "-"
    i = s["interval"]
    return f"{s['median']:.{digits}f} ({i['low']:.{digits}f}-{i['high']:.{digits}f})"


def _count(s):
    """median, or median [min-max] when the samples differ"""
    if s is None:
        return "-"
    if s["min"] == s["max"]:
        return f"{s['median']:,.0f}"
    return f"{s['median']:,.0f} [{s['min']:,.0f}-{s['max']:,.0f}]"


def table(report):
    """The figures the targets are judged on, one column per variant, as
    Markdown (the READMEs quote it). The report holds the others."""
    f = report["figures"]

    def fig(name, v):
        # None, shown as "-", for a figure an older report does not have.
        return f.get(name, {}).get(v)

    rows = (
        ("real job, ms", JOB_VARIANTS, lambda v: f"{f['job_wall_ms'][v]['median']:.1f}"),
        ("real job, ratio to direct", JOB_VARIANTS[1:], lambda v: _mi(fig("job_ratio", v), 3)),
        ("per-call overhead, ms", WRAPPERS, lambda v: _mi(fig("call_overhead_ms", v), 3)),
        ("per-call overhead / sh wrapper's", OURS,
         lambda v: _mi(fig("call_overhead_to_sh", v), 2)),
        ("per-call overhead / floor's", OURS, lambda v: _mi(fig("call_overhead_to_floor", v), 2)),
        ("instructions of the wrapper alone", WRAPPERS,
         lambda v: _count(f["instructions"]["inherited"].get(v))),
        ("peak RSS of the wrapper alone, kB", ("floor", *OURS), lambda v: _count(fig("rss_kb", v))),
    )
    lines = ["| figure | " + " | ".join(TITLES[v] for v in VARIANTS) + " |",
             "|---|" + "---|" * len(VARIANTS)]
    for label, only, cell in rows:
        cells = ["not measured" if not report["variants"].get(v, {}).get("measured")
                 else cell(v) if v in only else "-" for v in VARIANTS]
        lines.append(f"| {label} | " + " | ".join(cells) + " |")
    return lines


def target_lines(targets):
    out = []
    for t in targets:
        mark = {"met": "met", "not met": "NOT MET", "not measured": "NOT MEASURED"}[t["status"]]
        if t["value"] is None:
            fig = t["detail"]
        elif "high" in t:
            fig = (f"{t['value']:.3f} ({t['low']:.3f}-{t['high']:.3f}); {t['judged_on']}"
                   f" {t['comparison']} {t['limit']}: {t['detail']}")
        else:
            fig = f"{t['value']:,.0f} ({t['judged_on']})"
        out.append(f"  [{mark:>12}] {t['text']}: {fig}")
    met = sum(t["status"] == "met" for t in targets)
    out.append(f"  {met} of {len(targets)} targets met")
    return out


def text(report, path):
    """The table with a line on where it comes from, then the run, the
    machine, the variants not measured and the targets."""
    o, m = report["options"], report["machine"]
    path = Path(path).resolve()
    shown = path.relative_to(ROOT) if path.is_relative_to(ROOT) else path
    out = [f"From `{shown}` (commit {commit_name(report)}, {report['date']}):"
           f" median ({o['bootstrap']['confidence']:.0%} interval) or median [min-max].", ""]
    out += table(report)
    out += ["",
            f"Run: {o['job_rounds']} rounds of the real job ({o['objects']} clang -flto objects:"
            f" ar rcs, ranlib, nm), {o['call_rounds']} rounds of {o['calls']} calls with a"
            f" do-nothing tool, in a new random order each round (seed {o['seed']});"
            f" callgrind runs of each count: {o['callgrind_runs']},"
            f" RSS samples: {o['rss_samples']};"
            f" {report.get('duration_s', 0):.0f} s{' (quick run)' if o.get('quick') else ''}.",
            f"Machine: {m.get('cpu') or m.get('processor', '?')}, {m.get('cores', '?')} cores;"
            f" {m.get('uname') or m.get('kernel', '?')}; load average"
            f" {m['load_before'][0]:.2f} before, {m['load_after'][0]:.2f} after."]
    for v in VARIANTS:
        info = report["variants"].get(v)
        if not (info or {}).get("measured"):
            reason = info.get("reason") if info else "not in this report (an older one)"
            out.append(f"{TITLES[v]}: not measured: {reason or '?'}")
    # A report from before a target was set shows it as not measured.
    stored = {t["id"] for t in report["targets"]}
    newer = [t for t in judge(report) if t["id"] not in stored]
    return out + ["", "Targets"] + target_lines(report["targets"] + newer)


def check(report):
    """Recomputes the derived figures and the targets from the raw rounds."""
    measured = [v for v in VARIANTS if report["variants"].get(v, {}).get("measured")]
    again = derive(report["raw"], measured, report["options"]["bootstrap"])

    def numbers(fig):
        return {**{key: fig[key] for key in ("median", "min", "max", "n")},
                **{f"interval {key}": fig["interval"][key] for key in ("low", "high")}}
    bad = 0
    for name, per_variant in again.items():
        for v, fig in per_variant.items():
            stored = report["figures"].get(name, {}).get(v)
            if stored is None:
                print(f"not in the report (an older one): {name} {v}")
                continue
            kept = numbers(stored)
            for key, value in numbers(fig).items():
                if value != kept[key] and not (None not in (value, kept[key]) and math.isclose(
                        value, kept[key], rel_tol=1e-12)):
                    print(f"differs: {name} {v} {key}: {kept[key]} stored, {value} again")
                    bad += 1
    stored = {t["id"]: t["status"] for t in report["targets"]}
    for t in judge(report):
        if t["id"] not in stored:
            print(f"not in the report (an older one): target {t['id']}")
        elif stored[t["id"]] != t["status"]:
            print(f"differs: target {t['id']}: {stored[t['id']]} stored, {t['status']} again")
            bad += 1
    print(f"{'every figure and target matches' if not bad else f'{bad} differences'}"
          f" (from {report['options']['job_rounds']} + {report['options']['call_rounds']} rounds)")
    return 1 if bad else 0


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("report", nargs="?", type=Path,
                    help="report file (default: the latest under bench/results/)")
    ap.add_argument("--check", action="store_true",
                    help="recompute the intervals and targets from the raw rounds")
    args = ap.parse_args()
    path = args.report or latest_report()
    report = load(path)
    if args.check:
        return check(report)
    print("\n".join(text(report, path)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
