#!/usr/bin/env python3
"""Benchmark of mavo-ar, mavo-nm and mavo-ranlib against running the tools
directly and against a hand-written /bin/sh wrapper.

Builds the programs twice (C library dynamic, and fully static with
MAVO_STATIC=ON), Release, installs each build into prefixes of its own under
build/bench-work/, and measures:

  * a real job: about 100 `clang -flto` objects put into an archive with
    `ar rcs`, indexed with `ranlib` and listed with `nm`;
  * the cost of one call with a do-nothing tool;
  * the instructions the wrapper process executes by itself (callgrind,
    children not traced) and its peak resident set size.

Timed variants run interleaved in a new random order each round; the table
gives medians with the min-max range over the rounds. See bench/README.md.
"""

import argparse
import json
import os
import platform
import random
import re
import shlex
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BENCH = ROOT / "bench"
PROGRAMS = ("ar", "nm", "ranlib")

# Figures a wrapper should reach on the reference machine (2 shared cores).
TARGET_JOB_RATIO = 1.06
TARGET_SH_REFERENCE_MS = {"dynamic": 0.95, "static": 0.85}
TARGET_INSTRUCTIONS = {"dynamic": 170_000, "static": 60_000}
TARGET_RSS_KB = {"dynamic": 1200, "static": 800}
MINIMAL_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
ENV_TITLE = {"inherited": "this env", "minimal": "minimal env"}
CXX_RUNTIME = re.compile(r"lib(stdc\+\+|c\+\+|c\+\+abi|supc\+\+|gcc_s|unwind)\b")

BUILDS = {
    "dynamic": ["-DMAVO_STATIC=OFF"],
    "static": ["-DMAVO_STATIC=ON"],
}
BUILD_TITLE = {"dynamic": "C library dynamic", "static": "fully static"}


# ---------------------------------------------------------------- helpers

def log(msg):
    print(msg, file=sys.stderr, flush=True)


def run(cmd, **kw):
    """Runs a command, failing loudly with its output on a non-zero exit."""
    kw.setdefault("check", True)
    try:
        return subprocess.run([str(c) for c in cmd], **kw)
    except subprocess.CalledProcessError as e:
        log(f"command failed ({e.returncode}): {shlex.join(str(c) for c in cmd)}")
        for stream in (e.stdout, e.stderr):
            if stream:
                log(stream if isinstance(stream, str) else stream.decode(errors="replace"))
        raise SystemExit(1)


def capture(cmd, **kw):
    return run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kw)


def which(name, what):
    path = shutil.which(name)
    if not path:
        raise SystemExit(f"bench: {what} '{name}' not found on PATH")
    return path


def median_range(values):
    return statistics.median(values), min(values), max(values)


def fmt_mr(values, scale=1.0, digits=3, suffix=""):
    m, lo, hi = median_range([v * scale for v in values])
    return f"{m:.{digits}f}{suffix} [{lo:.{digits}f}-{hi:.{digits}f}]"


def fmt_int(n):
    return f"{n:,}"


# ---------------------------------------------------------------- set-up

def read_cache(build_dir):
    cache = {}
    for line in (build_dir / "CMakeCache.txt").read_text().splitlines():
        m = re.match(r"^([A-Za-z0-9_]+):[A-Z]+=(.*)$", line)
        if m:
            cache[m.group(1)] = m.group(2)
    return cache


def build_programs(args, name, extra):
    build_dir = ROOT / "build" / f"bench-{name}"
    if not args.no_build or not (build_dir / "build.ninja").exists():
        cmd = ["cmake", "-S", ROOT, "-B", build_dir, "-G", "Ninja",
               "-DCMAKE_BUILD_TYPE=Release", "-DBUILD_TESTING=OFF", "-DMAVO_DEMO=OFF",
               *extra]
        if args.cxx:
            cmd.append(f"-DCMAKE_CXX_COMPILER={args.cxx}")
        log(f"bench: configuring {name} build in {build_dir.relative_to(ROOT)}")
        capture(cmd)
        log(f"bench: building {name} (-j{args.jobs})")
        capture(["cmake", "--build", build_dir, "-j", str(args.jobs),
                 "--target", *[f"mavo-{p}" for p in PROGRAMS]])
    return build_dir


def layout(cache):
    """Where an installation keeps its tools and its plug-in, relative to the prefix."""
    bin_dir = cache["MAVO_CONFIGURED_BIN_DIR"].rstrip("/")
    configured_prefix = os.path.dirname(bin_dir)
    libexec = os.path.relpath(cache["MAVO_CONFIGURED_LIBEXEC_DIR"].rstrip("/"), configured_prefix)
    exec_dir = os.path.relpath(cache["MAVO_CONFIGURED_EXEC_DIR"].rstrip("/"), configured_prefix)
    triplet = cache["MAVO_TARGET_TRIPLET"]
    version = cache["MAVO_COMPILER_VERSION"]
    return {
        "bin": os.path.relpath(bin_dir, configured_prefix),
        "tool_dir": os.path.join(triplet, "bin"),
        "plugin_dir": os.path.join(libexec, triplet, version),
        # The tool directory is reached from here with "../../../../../", so
        # it must exist, as it does in a compiler's installation.
        "exec_dir": os.path.join(exec_dir, triplet, version),
        "plugin_name": cache["MAVO_PLUGIN_FILE_NAME"],
    }


def install_prefix(build_dir, prefix, lay, plugin, tools):
    """Installs one build into `prefix` and links the plug-in and `tools`
    (name -> file) into the installation's directories."""
    if prefix.exists():
        shutil.rmtree(prefix)
    capture(["cmake", "--install", build_dir, "--prefix", prefix])
    plugin_dir = prefix / lay["plugin_dir"]
    tool_dir = prefix / lay["tool_dir"]
    plugin_dir.mkdir(parents=True, exist_ok=True)
    (prefix / lay["exec_dir"]).mkdir(parents=True, exist_ok=True)
    tool_dir.mkdir(parents=True, exist_ok=True)
    (plugin_dir / lay["plugin_name"]).symlink_to(plugin)
    for name, target in tools.items():
        (tool_dir / name).symlink_to(target)
    return {
        "prefix": prefix,
        "bin": prefix / lay["bin"],
        "tool_dir": tool_dir,
        "plugin": plugin_dir / lay["plugin_name"],
    }


def build_helpers(work, cc):
    tools = work / "tools"
    tools.mkdir(parents=True, exist_ok=True)
    src = BENCH / "tools"
    out = {}

    def cc_build(name, source, flags):
        target = tools / name
        run([cc, "-O2", *flags, "-o", target, src / source],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        out[name] = target

    cc_build("launch", "launch.c", ["-static"])
    if platform.machine() in ("x86_64", "aarch64"):
        cc_build("null_tool", "null_tool.c", ["-static", "-nostdlib"])
    else:
        cc_build("null_tool", "null_tool.c", ["-static"])
    cc_build("hwm_probe", "hwm_probe.c", ["-static"])
    cc_build("empty_dynamic", "empty.c", [])
    cc_build("empty_static", "empty.c", ["-static"])
    cc_build("self_hwm_dynamic", "self_hwm.c", [])
    cc_build("self_hwm_static", "self_hwm.c", ["-static"])
    return out


def write_sh_wrapper(path, tool, plugin):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("#!/bin/sh\n"
                    f"exec {shlex.quote(str(tool))} --plugin {shlex.quote(str(plugin))} \"$@\"\n")
    path.chmod(0o755)
    return path


SOURCE_TEMPLATE = """\
/* Generated by bench/run.py: unit {i} of the benchmark's library. */
#include <stddef.h>

extern unsigned bench_hash_{prev}(const unsigned char *p, size_t n);

static unsigned mix_{i}(unsigned x)
{{
    x ^= x >> 16;
    x *= 0x7feb352dU + {i}U;
    x ^= x >> 15;
    x *= 0x846ca68bU;
    return x ^ (x >> 16);
}}

unsigned bench_hash_{i}(const unsigned char *p, size_t n)
{{
    unsigned h = {seed}U;
    for (size_t k = 0; k < n; k++)
        h = mix_{i}(h ^ p[k]);
    return h;
}}

int bench_table_{i}[16] = {{ {table} }};
static const char bench_label_{i}[] = "unit {i}";

long bench_sum_{i}(const long *a, size_t n)
{{
    long s = 0;
    for (size_t k = 0; k < n; k++)
        s += a[k] * bench_table_{i}[k & 15];
    return s;
}}

double bench_poly_{i}(double x)
{{
    double r = 0.0;
    for (int k = 0; k < {degree}; k++)
        r = r * x + (double)bench_table_{i}[k & 15] / (k + 1);
    return r;
}}

struct bench_point_{i} {{ double x, y; }};

double bench_path_{i}(const struct bench_point_{i} *p, size_t n)
{{
    double d = 0.0;
    for (size_t k = 1; k < n; k++) {{
        double dx = p[k].x - p[k - 1].x, dy = p[k].y - p[k - 1].y;
        d += dx * dx + dy * dy;
    }}
    return d;
}}

const char *bench_name_{i}(void) {{ return bench_label_{i}; }}

unsigned bench_chain_{i}(const unsigned char *p, size_t n)
{{
    return bench_hash_{prev}(p, n) ^ bench_hash_{i}(p, n);
}}
"""


def make_objects(args, work, clang):
    """Writes and compiles the job's sources once; kept between runs."""
    job = work / "job"
    src, obj = job / "src", job / "obj"
    src.mkdir(parents=True, exist_ok=True)
    obj.mkdir(parents=True, exist_ok=True)
    n = args.objects
    rng = random.Random(1234)
    objects, pending = [], []
    for i in range(n):
        text = SOURCE_TEMPLATE.format(
            i=i, prev=(i - 1) % n, seed=rng.randrange(1 << 31), degree=4 + i % 9,
            table=", ".join(str(rng.randrange(-99, 99)) for _ in range(16)))
        c, o = src / f"u{i:03d}.c", obj / f"u{i:03d}.o"
        if not c.exists() or c.read_text() != text:
            c.write_text(text)
            if o.exists():
                o.unlink()
        if not o.exists():
            pending.append((c, o))
        objects.append(o)
    # Stale objects of an earlier, larger run would not be in the job anyway.
    if pending:
        log(f"bench: compiling {len(pending)} LTO objects with {clang} -flto -O2 (-j{args.jobs})")
        procs = []
        for c, o in pending:
            procs.append(subprocess.Popen([clang, "-flto", "-O2", "-c", str(c), "-o", str(o)]))
            while len([p for p in procs if p.poll() is None]) >= args.jobs:
                time.sleep(0.02)
        for p in procs:
            if p.wait() != 0:
                raise SystemExit("bench: compiling the job's objects failed")
    return job, [o.relative_to(job) for o in objects]


# ---------------------------------------------------------------- measuring

LAUNCH_RE = re.compile(r"iterations=(\d+) total_ns=(\d+) per_iteration_ns=(\d+) "
                       r"maxrss_kb=(\d+) children_cpu_us=(\d+) children_minflt=(\d+)")


def launch(helpers, commands, iterations=1, warmup=0, mode="spawn", out=None, remove=None,
           cwd=None):
    cmd = [helpers["launch"], "-n", str(iterations), "-w", str(warmup), "-m", mode]
    if out:
        cmd += ["-o", out]
    if remove:
        cmd += ["-r", remove]
    for c in commands:
        cmd += ["--", *c]
    res = run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=cwd,
              check=False)
    m = LAUNCH_RE.search(res.stdout)
    if res.returncode != 0 or not m:
        log(res.stderr)
        raise SystemExit(f"bench: a measured command failed: {shlex.join(str(c) for c in cmd)}")
    it, total, per, rss, cpu, faults = map(int, m.groups())
    return {"wall_ns": per, "cpu_ns": cpu * 1000 / it, "maxrss_kb": rss, "minflt": faults / it}


def timed_rounds(label, variants, rounds, measure):
    """Runs measure(variant) for every variant, in a new random order each
    round; returns {variant: [result, ...]}."""
    results = {v: [] for v in variants}
    for r in range(rounds):
        order = list(variants)
        random.shuffle(order)
        for v in order:
            results[v].append(measure(v))
        log(f"bench: {label}: round {r + 1}/{rounds} done")
    return results


def callgrind(work, name, cmd, cwd, env=None, until_exec=False):
    """Instructions of one process, its children not traced. With until_exec
    the count stops where the process replaces itself with execve (a shell's
    `exec`), which is where its own work ends."""
    out_dir = work / "callgrind"
    out_dir.mkdir(exist_ok=True)
    out_file = out_dir / f"{name}.out"
    for old in out_dir.glob(f"{name}.out*"):
        old.unlink()
    extra = ["--dump-before=execve"] if until_exec else []
    res = subprocess.run(
        ["valgrind", "--tool=callgrind", "--trace-children=no", *extra,
         f"--callgrind-out-file={out_file}", *[str(c) for c in cmd]],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=cwd, env=env)
    if until_exec:
        dump = out_file.with_name(out_file.name + ".1")
        if not dump.exists():
            log(res.stderr)
            return None, out_file
        m = re.search(r"^summary:\s*(\d+)", dump.read_text(), re.M)
        return (int(m.group(1)) if m else None), dump
    m = re.search(r"Collected\s*:\s*(\d+)", res.stderr)
    if not m:
        log(res.stderr)
        return None, out_file
    return int(m.group(1)), out_file


ANNOTATE_RE = re.compile(r"^\s*([\d,]+)\s+\([\s\d.]+%\)\s+(?:([*>])\s+)?(.*?)"
                         r"(?:\s+\((\d+)x\))?(?:\s+\[(.*)\])?\s*$")


def _function_name(text):
    return text.split(":", 1)[1] if ":" in text else text


def profile(out_file):
    """Self cost per function (inline pieces merged), the object each
    function lies in, and the calling tree: {function: (inclusive, {callee:
    [inclusive, calls]})}. Writes both listings beside the data file."""
    common = ["callgrind_annotate", "--threshold=100", str(out_file)]
    flat = subprocess.run(common[:1] + ["--inclusive=no"] + common[1:],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True).stdout
    tree = subprocess.run(common[:1] + ["--inclusive=yes", "--tree=calling"] + common[1:],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True).stdout
    out_file.with_name(out_file.name + ".self.txt").write_text(flat)
    out_file.with_name(out_file.name + ".tree.txt").write_text(tree)

    self_cost, objects = {}, {}
    for line in flat.splitlines():
        m = ANNOTATE_RE.match(line)
        if not m or m.group(3) in ("PROGRAM TOTALS", "file:function") or m.group(2):
            continue
        func = _function_name(m.group(3))
        self_cost[func] = self_cost.get(func, 0) + int(m.group(1).replace(",", ""))
        if m.group(5):
            objects[func] = os.path.basename(m.group(5))
    calls, current = {}, None
    for line in tree.splitlines():
        m = ANNOTATE_RE.match(line)
        if not m or not m.group(2):
            continue
        ir, func = int(m.group(1).replace(",", "")), _function_name(m.group(3))
        if m.group(2) == "*":
            current = calls.setdefault(func, [0, {}])
            current[0] = max(current[0], ir)
        elif current is not None:
            entry = current[1].setdefault(func, [0, 0])
            entry[0] += ir
            entry[1] += int(m.group(4) or 0)
        if m.group(5):
            objects.setdefault(func, os.path.basename(m.group(5)))
    return {"self": self_cost, "objects": objects, "tree": calls}


def calls_to(prof, prefixes):
    """Inclusive cost and number of calls of every function whose name starts
    with one of `prefixes`, from all of its callers."""
    ir = n = 0
    for caller, (_, callees) in prof["tree"].items():
        for callee, (cost, count) in callees.items():
            if callee.startswith(prefixes) and not caller.startswith(prefixes):
                ir += cost
                n += count
    return ir, n


def elf_info(path):
    dyn = capture(["readelf", "-dW", path]).stdout
    needed = re.findall(r"\(NEEDED\).*?\[(.*?)\]", dyn)
    prog = capture(["readelf", "-lW", path]).stdout
    m = re.search(r"Requesting program interpreter: (.*?)\]", prog)
    return needed, (m.group(1) if m else None)


def loaded_libraries(path):
    """What the dynamic loader maps for `path` (ldd), or [] when static."""
    res = subprocess.run(["ldd", str(path)], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         text=True)
    if res.returncode != 0 or "not a dynamic executable" in res.stdout:
        return []
    libs = []
    for line in res.stdout.splitlines():
        name = line.strip().split(" ")[0]
        if name:
            libs.append(name)
    return libs


# ---------------------------------------------------------------- main

def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rounds", type=int, help="rounds of the timed parts (default 10, quick 3)")
    ap.add_argument("--calls", type=int,
                    help="calls per variant and round in the per-call part (default 100, quick 30)")
    ap.add_argument("--jobs-per-round", type=int, default=1,
                    help="real jobs per variant and round (default 1)")
    ap.add_argument("--quick", action="store_true", help="fewer rounds and calls: a smoke run")
    ap.add_argument("--objects", type=int, default=100, help="LTO objects in the real job")
    ap.add_argument("--no-build", action="store_true",
                    help="use the existing build/bench-* builds as they are")
    ap.add_argument("--cxx", help="C++ compiler for the programs (default: CMake's choice)")
    ap.add_argument("--cc", default="cc", help="C compiler for the helper programs")
    ap.add_argument("--clang", default=None, help="clang for the LTO objects")
    ap.add_argument("--plugin", default=None, help="plug-in (default: LLVM's LLVMgold.so)")
    ap.add_argument("--jobs", type=int, default=2, help="parallel build jobs (default 2)")
    ap.add_argument("--seed", type=int, default=None, help="seed of the round order")
    ap.add_argument("--top", type=int, default=12,
                    help="functions listed from callgrind per build (default 12)")
    ap.add_argument("--env", choices=("inherited", "minimal"), default="inherited",
                    help="environment the instruction target is checked in: the one the"
                         " benchmark runs in (default) or a minimal one; both are printed")
    ap.add_argument("--json", type=Path, default=None,
                    help="results file (default build/bench-work/results.json)")
    args = ap.parse_args()
    rounds = args.rounds or (3 if args.quick else 10)
    calls = args.calls or (30 if args.quick else 100)
    if args.seed is not None:
        random.seed(args.seed)

    work = ROOT / "build" / "bench-work"
    work.mkdir(parents=True, exist_ok=True)

    # Tools of the machine.
    for tool in ("cmake", "ninja", "valgrind", "callgrind_annotate", "readelf", "ldd"):
        which(tool, "program")
    clang = args.clang or shutil.which("clang") or which("clang-14", "compiler")
    plugin = Path(args.plugin) if args.plugin else None
    if plugin is None:
        candidates = []
        if shutil.which("llvm-config"):
            libdir = capture(["llvm-config", "--libdir"]).stdout.strip()
            candidates.append(Path(libdir) / "LLVMgold.so")
        candidates += [Path("/usr/lib/llvm-14/lib/LLVMgold.so"), Path("/usr/lib/LLVMgold.so")]
        plugin = next((c for c in candidates if c.exists()), None)
        if plugin is None:
            raise SystemExit("bench: LLVMgold.so not found; give --plugin")
    real_tools = {p: which(p, "tool") for p in PROGRAMS}

    # Builds, helpers, installations.
    builds = {name: build_programs(args, name, extra) for name, extra in BUILDS.items()}
    helpers = build_helpers(work, args.cc)
    lay = layout(read_cache(builds["dynamic"]))
    inst = {}
    for name, build_dir in builds.items():
        inst[name, "real"] = install_prefix(build_dir, work / f"{name}-real", lay, plugin,
                                            real_tools)
        inst[name, "null"] = install_prefix(build_dir, work / f"{name}-null", lay, plugin,
                                            {p: helpers["null_tool"] for p in PROGRAMS})
        inst[name, "hwm"] = install_prefix(build_dir, work / f"{name}-hwm", lay, plugin,
                                           {p: helpers["hwm_probe"] for p in PROGRAMS})
    ref_real, ref_null = inst["dynamic", "real"], inst["dynamic", "null"]
    sh_real = {p: write_sh_wrapper(work / "sh-real" / p, ref_real["tool_dir"] / p,
                                   ref_real["plugin"]) for p in PROGRAMS}
    sh_null = {p: write_sh_wrapper(work / "sh-null" / p, ref_null["tool_dir"] / p,
                                   ref_null["plugin"]) for p in PROGRAMS}

    results = {"machine": {"cores": os.cpu_count(), "load_before": os.getloadavg(),
                           "processor": platform.machine()},
               "rounds": rounds, "calls": calls, "objects": args.objects}

    # Run-time dependencies of the installed programs.
    deps = {}
    for name in BUILDS:
        for p in PROGRAMS:
            exe = inst[name, "real"]["bin"] / f"mavo-{p}"
            needed, interp = elf_info(exe)
            deps[name, p] = {"needed": needed, "interp": interp,
                             "loaded": loaded_libraries(exe), "size": exe.stat().st_size}
    results["dependencies"] = {f"{n}/{p}": d for (n, p), d in deps.items()}

    # The real job's objects; a directory for the calls with the do-nothing tool.
    job, objects = make_objects(args, work, clang)
    (job / "out").mkdir(exist_ok=True)
    tiny = work / "calls"
    tiny.mkdir(exist_ok=True)

    variants = ["direct", "sh", "dynamic", "static"]
    titles = {"direct": "direct", "sh": "sh wrapper",
              "dynamic": "ours (dynamic)", "static": "ours (static)"}

    def job_commands(v):
        archive = f"out/{v}.a"
        objs = [str(o) for o in objects]
        if v == "direct":
            t, plug = ref_real["tool_dir"], str(ref_real["plugin"])
            return archive, [[t / "ar", "--plugin", plug, "-rcs", archive, *objs],
                             [t / "ranlib", "--plugin", plug, archive],
                             [t / "nm", "--plugin", plug, archive]]
        if v == "sh":
            return archive, [[sh_real["ar"], "rcs", archive, *objs],
                             [sh_real["ranlib"], archive],
                             [sh_real["nm"], archive]]
        b = inst[v, "real"]["bin"]
        return archive, [[b / "mavo-ar", "rcs", archive, *objs],
                         [b / "mavo-ranlib", archive],
                         [b / "mavo-nm", archive]]

    # Every variant must do the job: an archive with a symbol index, and the
    # same nm listing as the direct run.
    listings = {}
    for v in variants:
        archive, cmds = job_commands(v)
        listing = work / f"nm-{v}.txt"
        launch(helpers, cmds, out=listing, remove=archive, cwd=job)
        data = (job / archive).read_bytes()
        if not data.startswith(b"!<arch>\n/ "):
            raise SystemExit(f"bench: {titles[v]}: archive {archive} has no symbol index")
        listings[v] = listing.read_text()
        if listings[v] != listings["direct"]:
            raise SystemExit(f"bench: {titles[v]}: nm listing differs from the direct run's")
    symbols = sum(1 for line in listings["direct"].splitlines() if re.match(r"^\S+ [TDRB] ", line))
    log(f"bench: the job works in every variant ({len(objects)} objects, "
        f"{symbols} defined symbols listed)")

    # ---- real job
    def measure_job(v):
        archive, cmds = job_commands(v)
        return launch(helpers, cmds, iterations=args.jobs_per_round, remove=archive, cwd=job)

    launch(helpers, job_commands("direct")[1], remove="out/direct.a", cwd=job)  # warm caches
    job_res = timed_rounds("real job", variants, rounds, measure_job)
    job_ratio = {v: [job_res[v][r]["wall_ns"] / job_res["direct"][r]["wall_ns"]
                     for r in range(rounds)] for v in variants}
    results["job"] = {v: job_res[v] for v in variants}

    # ---- per call, do-nothing tool
    call_args = ["rcs", "libx.a", "x.o"]

    def call_command(v):
        if v == "direct":
            return [ref_null["tool_dir"] / "ar", "--plugin", ref_null["plugin"], "-rcs",
                    *call_args[1:]]
        if v == "sh":
            return [sh_null["ar"], *call_args]
        return [inst[v, "null"]["bin"] / "mavo-ar", *call_args]

    def measure_call(v):
        return launch(helpers, [call_command(v)], iterations=calls, warmup=3, cwd=tiny)

    call_res = timed_rounds("per call", variants, rounds, measure_call)
    overhead = {v: [call_res[v][r]["wall_ns"] - call_res["direct"][r]["wall_ns"]
                    for r in range(rounds)] for v in variants}
    overhead_cpu = {v: [call_res[v][r]["cpu_ns"] - call_res["direct"][r]["cpu_ns"]
                        for r in range(rounds)] for v in variants}
    results["call"] = {v: call_res[v] for v in variants}

    # ---- instructions of the wrapper process alone
    log("bench: counting instructions with callgrind")
    # Two environments: the one this benchmark was started in (what a build
    # passes on), and a minimal one, the same everywhere. The C library's
    # start-up reads every variable, and the programs parse PATH.
    envs = {
        "inherited": dict(os.environ),
        "minimal": {"PATH": MINIMAL_PATH, "HOME": os.environ.get("HOME", "/"), "LANG": "C.UTF-8"},
    }
    instr, cg_files = {}, {}
    for env_name, env in envs.items():
        def count(key, cmd, until_exec=False):
            instr[env_name, key], cg_files[env_name, key] = callgrind(
                work, f"{env_name}-{key}", cmd, tiny, env=env, until_exec=until_exec)
        count("sh", call_command("sh"), until_exec=True)
        for name in BUILDS:
            count(name, call_command(name))
            for prog in ("nm", "ranlib"):
                count(f"{name}-{prog}", [inst[name, "null"]["bin"] / f"mavo-{prog}", "x.a"])
        count("empty-dynamic", [helpers["empty_dynamic"]])
        count("empty-static", [helpers["empty_static"]])
    profiles = {name: profile(cg_files["inherited", name]) for name in BUILDS}
    empty_profiles = {name: profile(cg_files["inherited", f"empty-{name}"]) for name in BUILDS}
    results["instructions"] = {f"{e}/{k}": v for (e, k), v in instr.items()}
    results["environment"] = {"inherited_variables": len(os.environ),
                              "inherited_bytes": sum(len(k) + len(v) + 2
                                                     for k, v in os.environ.items()),
                              "inherited_path_entries": len(os.environ.get("PATH", "").split(":")),
                              "minimal": envs["minimal"]}

    # ---- peak RSS of the wrapper process alone
    log("bench: measuring peak RSS")
    rss_samples = 15
    rss_fork = {v: launch(helpers, [call_command(v)], iterations=rss_samples, mode="fork",
                          cwd=tiny)["maxrss_kb"] for v in variants}
    rss_probe, rss_maps = {}, {}
    for name in BUILDS:
        exe = inst[name, "hwm"]["bin"] / "mavo-ar"
        samples = []
        for i in range(rss_samples):
            probe_out = work / f"hwm-{name}.txt"
            launch(helpers, [[exe, *call_args]], mode="fork", out=probe_out, cwd=tiny)
            text = probe_out.read_text()
            fields = dict(line.split("=", 1) for line in text.splitlines() if "=" in line)
            if os.path.realpath(fields.get("parent_exe", "")) != os.path.realpath(exe):
                raise SystemExit(f"bench: the RSS probe's parent is {fields.get('parent_exe')}, "
                                 f"not {exe}")
            samples.append((int(fields["parent_hwm_kb"]), text))
        samples.sort(key=lambda s: s[0])
        rss_probe[name] = [kb for kb, _ in samples]
        # Resident kB per file (or kind of anonymous memory), from the median sample.
        maps = {}
        for line in samples[len(samples) // 2][1].splitlines():
            if line.startswith("mapping="):
                kb, _, rest = line[len("mapping="):].partition(" ")
                perms, _, path = rest.partition(" ")
                key = os.path.basename(path) if path.startswith("/") else (path or "[anon]")
                key = f"{key} ({'text' if 'x' in perms else 'data' if 'w' in perms else 'ro'})"
                maps[key] = maps.get(key, 0) + int(kb)
        rss_maps[name] = sorted(maps.items(), key=lambda kv: -kv[1])
    floor_rss = {}
    for name in BUILDS:
        vals = []
        for i in range(rss_samples):
            out_file = work / f"self-hwm-{name}.txt"
            launch(helpers, [[helpers[f"self_hwm_{name}"]]], mode="fork", out=out_file, cwd=tiny)
            vals.append(int(re.search(r"VmHWM:\s*(\d+)", out_file.read_text()).group(1)))
        floor_rss[name] = sorted(vals)
    results["rss_kb"] = {"fork_wait4": rss_fork, "probe_vmhwm": rss_probe,
                         "probe_mappings": rss_maps, "c_program_floor": floor_rss}

    # ---------------------------------------------------------------- report
    W = 25
    out = []
    p = out.append

    def row(label, cells):
        p(f"{label:<32}" + "".join(f"{c:>{W}}" for c in cells))

    def ins(key, env="inherited"):
        n = instr.get((env, key))
        return fmt_int(n) if n is not None else "n/a"

    def mr_kb(vals):
        return f"{statistics.median(vals):.0f} [{min(vals)}-{max(vals)}]"

    load = os.getloadavg()
    env_info = results["environment"]
    p("")
    p(f"mavo wrapper benchmark: {rounds} rounds, the variants in a new random order each round")
    p(f"machine: {os.cpu_count()} cores ({platform.machine()}), load average "
      f"{results['machine']['load_before'][0]:.2f} before measuring, {load[0]:.2f} after; the cores"
      " are shared with other work, so times are noisy; instruction counts are exact")
    p(f"plug-in: {plugin}; tools: {', '.join(real_tools.values())}; figures: median [min-max]"
      " over the rounds")
    p("")
    p("Installed programs (Release)")
    for name in BUILDS:
        d = deps[name, "ar"]
        loaded = ", ".join(os.path.basename(x) for x in d["loaded"]) or "nothing (static)"
        p(f"  {BUILD_TITLE[name]:<18} {inst[name, 'real']['bin'].relative_to(ROOT)}: "
          f"NEEDED {', '.join(d['needed']) or 'none'}; interpreter {d['interp'] or 'none'}; "
          f"loads {loaded}; {d['size']:,} bytes")
    p("")
    row("", [titles[v] for v in variants])
    p(f"Real job: {len(objects)} clang -flto objects; ar rcs, ranlib, nm")
    row("  wall ms per job", [fmt_mr([r["wall_ns"] for r in job_res[v]], 1e-6, 1) for v in variants])
    row("  ratio to direct (same round)", [fmt_mr(job_ratio[v], 1, 3, "x") for v in variants])
    row("  CPU ms per job (children)", [fmt_mr([r["cpu_ns"] for r in job_res[v]], 1e-6, 1)
                                        for v in variants])
    p(f"Per call, do-nothing tool: {calls} calls per variant and round")
    row("  wall ms per call", [fmt_mr([r["wall_ns"] for r in call_res[v]], 1e-6) for v in variants])
    row("  overhead ms (minus direct)", ["-"] + [fmt_mr(overhead[v], 1e-6) for v in variants[1:]])
    row("  CPU ms per call", [fmt_mr([r["cpu_ns"] for r in call_res[v]], 1e-6) for v in variants])
    row("  CPU overhead ms", ["-"] + [fmt_mr(overhead_cpu[v], 1e-6) for v in variants[1:]])
    sh_med = statistics.median(overhead["sh"])
    row("  page faults per call", [f"{statistics.median(r['minflt'] for r in call_res[v]):.0f}"
                                   for v in variants])
    row("  overhead / sh wrapper's", ["-", "1.00x"] +
        [f"{statistics.median(overhead[v]) / sh_med:.2f}x" if sh_med > 0 else "-"
         for v in ("dynamic", "static")])
    p("The calling process alone, do-nothing tool (direct: no process in between)")
    row(f"  instructions, this env", ["-", ins("sh"), ins("dynamic"), ins("static")])
    row(f"  instructions, minimal env", ["-", ins("sh", "minimal"), ins("dynamic", "minimal"),
                                         ins("static", "minimal")])
    row("  same, minus an empty C prog.", ["-", "-"] + [
        fmt_int(instr["inherited", n] - instr["inherited", f"empty-{n}"]) + " / "
        + fmt_int(instr["minimal", n] - instr["minimal", f"empty-{n}"]) for n in BUILDS])
    row("  peak RSS kB (own VmHWM)", ["-", "-", mr_kb(rss_probe["dynamic"]),
                                      mr_kb(rss_probe["static"])])
    row("  peak RSS kB (wait4, lags)", [str(rss_fork[v]) for v in variants])
    p(f"  this env: {env_info['inherited_variables']} variables, {env_info['inherited_bytes']:,}"
      f" bytes, PATH of {env_info['inherited_path_entries']} entries; minimal env: PATH="
      f"{MINIMAL_PATH}, HOME, LANG")
    p(f"  empty C program: {ins('empty-dynamic')} instructions dynamic, {ins('empty-static')} "
      f"static (minimal env: {ins('empty-dynamic', 'minimal')} / {ins('empty-static', 'minimal')})"
      f"; mavo-nm {ins('dynamic-nm')} / {ins('static-nm')}, mavo-ranlib {ins('dynamic-ranlib')}"
      f" / {ins('static-ranlib')} (dynamic / static)")
    p(f"  a C program that only reports its own VmHWM: {mr_kb(floor_rss['dynamic'])} kB dynamic,"
      f" {mr_kb(floor_rss['static'])} kB static")
    p("  own VmHWM: read from /proc by the tool the wrapper started, while the wrapper waits"
      " (equal to its Rss counted page by page); wait4: largest ru_maxrss of the tree forked"
      " from a small static launcher, taken from kernel counters that lag by some pages"
      " (direct: the launcher's copy-on-write pages and the do-nothing tool)")

    # Where the instructions go.
    for name in BUILDS:
        prof, empty = profiles[name], empty_profiles[name]
        total = instr["inherited", name]
        main_ir = prof["tree"].get("main", [0, {}])[0]
        lazy_ir, lazy_n = calls_to(prof, ("_dl_runtime_resolve",))
        alloc_ir, alloc_n = calls_to(prof, ("malloc", "calloc", "realloc", "free", "__libc_malloc",
                                            "__libc_free", "__libc_calloc", "__libc_realloc"))
        p("")
        p(f"Where mavo-ar's {fmt_int(total)} instructions go ({BUILD_TITLE[name]}, this env;"
          f" listings in {cg_files['inherited', name].relative_to(ROOT)}.self.txt and .tree.txt)")
        p(f"  before and after main (loader, C library start-up and exit): "
          f"{fmt_int(total - main_ir)}; the empty C program: {fmt_int(instr['inherited', f'empty-{name}'])}")
        p(f"  main, inclusive: {fmt_int(main_ir)}; what it calls (inclusive, calls):")
        callees = sorted(prof["tree"].get("main", [0, {}])[1].items(), key=lambda kv: -kv[1][0])
        for func, (ir, n) in callees[:args.top]:
            p(f"    {ir:>9,}  {n:>3}x  {func}")
        if lazy_n:
            p(f"  lazy binding of C library functions: {fmt_int(lazy_ir)} in {lazy_n} first calls")
        p(f"  malloc, calloc, realloc and free: {fmt_int(alloc_ir)} in {alloc_n} calls")
        deltas = sorted(((ir - empty["self"].get(f, 0), f) for f, ir in prof["self"].items()),
                        reverse=True)
        p("  self cost above the empty C program's, by function:")
        for d, func in deltas[:args.top]:
            if d <= 0:
                break
            p(f"    {d:>9,}  {func}  [{prof['objects'].get(func, '?')}]")
        p(f"  resident kB by mapping (median sample): "
          + ", ".join(f"{k} {v}" for k, v in rss_maps[name][:8]))

    # Targets.
    checks = []

    def check(ok, text):
        checks.append(ok)
        p(f"  [{'met' if ok else 'NOT MET':>7}] {text}")

    p("")
    p("Targets")
    for name in BUILDS:
        m = statistics.median(job_ratio[name])
        check(m <= TARGET_JOB_RATIO,
              f"real job through ours ({name}) within {TARGET_JOB_RATIO}x of direct: {m:.3f}x")
    for name in BUILDS:
        bad = sorted({lib for p_ in PROGRAMS for lib in
                      deps[name, p_]["needed"] + [os.path.basename(x) for x in deps[name, p_]["loaded"]]
                      if CXX_RUNTIME.search(lib)})
        check(not bad, f"installed programs ({name}) load no C++ runtime: NEEDED "
              f"{', '.join(deps[name, 'ar']['needed']) or 'none'}"
              + (f"; C++ runtime: {', '.join(bad)}" if bad else ""))
    for name in BUILDS:
        m = statistics.median(overhead[name])
        check(m <= sh_med,
              f"per-call overhead ({name}) {m * 1e-6:.3f} ms <= sh wrapper's {sh_med * 1e-6:.3f} ms"
              f" (about {TARGET_SH_REFERENCE_MS[name]} ms on a quiet machine)")
    for name in BUILDS:
        n = max(instr[args.env, k] or 10**12 for k in (name, f"{name}-nm", f"{name}-ranlib"))
        other = "minimal" if args.env == "inherited" else "inherited"
        check(n < TARGET_INSTRUCTIONS[name],
              f"wrapper alone ({name}) under {fmt_int(TARGET_INSTRUCTIONS[name])} instructions: "
              f"{fmt_int(n)} (largest of the three programs, {ENV_TITLE[args.env]}; "
              f"{ENV_TITLE[other]}: {ins(name, other)})")
    for name in BUILDS:
        kb = statistics.median(rss_probe[name])
        check(kb < TARGET_RSS_KB[name],
              f"wrapper alone ({name}) peak RSS under {TARGET_RSS_KB[name]} kB: {kb:.0f} kB"
              f" (median of {rss_samples})")
    p(f"  {sum(checks)} of {len(checks)} targets met")

    print("\n".join(out))
    results["targets_met"] = sum(checks)
    results["targets"] = len(checks)
    json_path = args.json or work / "results.json"
    json_path.write_text(json.dumps(results, indent=1, default=str))
    (work / "report.txt").write_text("\n".join(out) + "\n")
    log(f"bench: results in {json_path} and {work / 'report.txt'}")
    return 0 if all(checks) else 3


if __name__ == "__main__":
    sys.exit(main())
