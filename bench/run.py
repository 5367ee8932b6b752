#!/usr/bin/env python3
"""Benchmark of mavo-ar, mavo-nm and mavo-ranlib: three builds of the
programs against running the tools directly, against the floor (the least
a wrapper of this design can cost) and against a hand-written /bin/sh
wrapper, in a real job, per call, in instructions and in peak RSS. Writes a
JSON report to bench/results/ that bench/report.py prints and checks. See
bench/README.md.
"""

import argparse
import concurrent.futures
import datetime
import json
import os
import platform
import random
import re
import shlex
import shutil
import string
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import report as rep  # noqa: E402  (bench/report.py: intervals, targets, table)

ROOT = Path(__file__).resolve().parent.parent
BENCH = ROOT / "bench"
WORK = ROOT / "build" / "bench-work"
CALLS = WORK / "calls"  # where the calls with the do-nothing tool run
PROGRAMS = ("ar", "nm", "ranlib")
# The environments of the counts: the one this benchmark was started in
# (what a build passes on), and a minimal one, the same everywhere. The C
# library's start-up reads every variable, and the programs parse PATH.
ENVIRONMENTS = {"inherited": None,
                "minimal": {"PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
                            "HOME": os.environ.get("HOME", "/"), "LANG": "C.UTF-8"}}

# Every bench build: Release, no tests, no demo.
COMMON_OPTIONS = ["-DCMAKE_BUILD_TYPE=Release", "-DBUILD_TESTING=OFF", "-DMAVO_DEMO=OFF"]
BUILDS = {
    "dynamic": ["-DMAVO_STATIC=OFF", "-DMAVO_MUSL=OFF"],
    "static": ["-DMAVO_STATIC=ON", "-DMAVO_MUSL=OFF"],
    "musl": ["-DMAVO_MUSL=ON"],
}
# The intervals: 95%, from 5000 resamples of the rounds drawn by a generator
# seeded with this seed alone, so that report.py draws the same again.
BOOTSTRAP = {"resamples": 5000, "seed": 20261210, "confidence": 0.95,
             "method": "percentile bootstrap over rounds (whole rounds resampled, so each"
                       " variant stays paired with the direct run of its round), nearest rank"}
# The empty C program each build is compared with.
EMPTY_OF = {"dynamic": "glibc-dynamic", "static": "glibc-static", "musl": "musl-static"}


# ---------------------------------------------------------------- helpers

def log(msg):
    print(msg, file=sys.stderr, flush=True)


def attempt(cmd, **kw):
    """Runs a command to its end, its output captured as text."""
    return subprocess.run([str(c) for c in cmd], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True, **kw)


def run(cmd, **kw):
    """What a command prints; a failure stops the benchmark, with the
    command's output."""
    res = attempt(cmd, **kw)
    if res.returncode != 0:
        log(res.stdout + res.stderr)
        raise SystemExit(f"bench: status {res.returncode} from {shlex.join(str(c) for c in cmd)}")
    return res.stdout


def first_line(cmd):
    """The first line a command prints (a tool's version), or None when it
    cannot run: facts about the machine never stop the benchmark."""
    try:
        res = attempt(cmd, timeout=30)
    except (OSError, subprocess.TimeoutExpired):
        return None
    lines = (res.stdout.strip() or res.stderr.strip()).splitlines()
    return lines[0].strip() if lines else None


def which(name):
    return shutil.which(name) or sys.exit(
        f"bench: {name} not found on PATH (bench/README.md lists what to install)")


def first_error(output):
    """The first error message in a compiler's or CMake's output, on one
    line (CMake indents the rest of its message)."""
    m = re.search(r"^.*error.*\n(?:[ \t]+\S.*\n)*", output + "\n", re.M | re.I)
    return " ".join((m.group(0) if m else output[-300:]).split())


# ---------------------------------------------------------------- setting up

@dataclass
class Installations:
    """Where each variant's programs, tools and helpers lie."""
    prefixes: dict            # (build, "real" | "null" | "hwm") -> lay_out()'s record
    helpers: dict             # helper name -> executable
    sh: dict                  # "real" | "null" -> {program -> sh wrapper}
    ours: list                # the builds measured, in the table's order

    @property
    def job_variants(self):
        """The floor does not run the real job: its cost is the per-call
        overhead, which is far below the spread of a job's rounds."""
        return ["direct", "sh", *self.ours]

    @property
    def call_variants(self):
        return ["direct", "floor", "sh", *self.ours]


def find_machine_tools(args):
    """The tools the run needs, found before anything is built, into `args`:
    clang, plugin, real_tools (the system's ar, nm and ranlib) and musl_cc
    (musl-gcc, when the machine has it)."""
    for tool in ("cmake", "ninja", "valgrind", "callgrind_annotate", args.cc):
        which(tool)
    if not args.plugin:
        candidates = [Path("/usr/lib/llvm-14/lib/LLVMgold.so"), Path("/usr/lib/LLVMgold.so")]
        if shutil.which("llvm-config"):
            candidates.insert(0, Path(run(["llvm-config", "--libdir"]).strip()) / "LLVMgold.so")
        args.plugin = next((c for c in candidates if c.exists()), None)
        if args.plugin is None:
            raise SystemExit("bench: LLVMgold.so not found; give --plugin")
    args.clang = args.clang or shutil.which("clang") or which("clang-14")
    args.real_tools = [which(p) for p in PROGRAMS]
    args.musl_cc = shutil.which("musl-gcc")


def build(args, name):
    """Configures and builds one build in build/bench-NAME; returns None, or
    why it could not be made."""
    build_dir = ROOT / "build" / f"bench-{name}"
    if args.no_build and (build_dir / "build.ninja").exists():
        return None
    configure = ["cmake", "-S", ROOT, "-B", build_dir, "-G", "Ninja", *COMMON_OPTIONS,
                 *BUILDS[name]]
    if args.cxx and name != "musl":
        configure.append(f"-DCMAKE_CXX_COMPILER={args.cxx}")
    log(f"bench: configuring and building the {name} build in {build_dir.relative_to(ROOT)}"
        f" (-j{args.jobs})")
    res = attempt(configure)
    if res.returncode != 0 and build_dir.exists():
        # A build directory configured by another version of the project (or
        # with another compiler) cannot always be reconfigured: start afresh.
        shutil.rmtree(build_dir)
        res = attempt(configure)
    if res.returncode != 0:
        return "configuring failed: " + first_error(res.stderr)
    res = attempt(["cmake", "--build", build_dir, "-j", args.jobs, "--target",
                   *[f"mavo-{p}" for p in PROGRAMS]])
    if res.returncode != 0:
        return "building failed: " + first_error(res.stdout + res.stderr)
    return None


def build_variants(args):
    """Step 1: configures and builds the programs three ways. The glibc
    builds must succeed; the musl build is measured when it can be made.
    Returns the build directories and the report's "variants"."""
    variants = {v: {"title": rep.TITLES[v], "measured": True, "reason": None}
                for v in rep.VARIANTS}
    dirs = {}
    for name in BUILDS:
        reason = "left out with --no-musl" if name == "musl" and args.no_musl else build(args, name)
        if reason and name != "musl":
            raise SystemExit(f"bench: the {name} build: {reason}")
        if reason:
            log(f"bench: the musl build is not measured: {reason}")
            variants[name].update(measured=False, reason=reason)
        else:
            dirs[name] = ROOT / "build" / f"bench-{name}"
            variants[name]["cmake_options"] = COMMON_OPTIONS + BUILDS[name]
    return dirs, variants


def read_cache(build_dir):
    cache = {}
    for line in (build_dir / "CMakeCache.txt").read_text().splitlines():
        m = re.match(r"^([A-Za-z0-9_]+):[A-Z]+=(.*)$", line)
        if m:
            cache[m.group(1)] = m.group(2)
    return cache


def lay_out(build_dir, prefix, plugin, tools):
    """Installs a build into `prefix`, afresh, as a compiler installation
    whose ar, nm and ranlib are `tools`, with cmake/lay_out_installation.sh;
    returns where the programs, the tools and the plug-in are. The script's
    arguments are the ones the build wrote for it, as it passes them to the
    demo and the tests."""
    layout = (build_dir / "layout_arguments.txt").read_text().split("\n")[:6]
    exec_from_bin, libexec_from_bin, triplet, version, climb, plugin_name = layout
    if prefix.exists():
        shutil.rmtree(prefix)
    run(["sh", ROOT / "cmake" / "lay_out_installation.sh", build_dir, prefix, plugin, *tools, *layout])

    def below_bin(*parts):  # where the script put it, with the "../" steps resolved
        return Path(os.path.normpath(os.path.join(prefix, "bin", *parts)))
    return {"bin": prefix / "bin",
            "tool_dir": below_bin(exec_from_bin, triplet, version, climb, triplet, "bin"),
            "plugin": below_bin(libexec_from_bin, triplet, version, plugin_name)}


def build_helpers(cc, musl_cc, builds):
    """The launcher, the tools the wrappers start, the floor, and the empty
    C program each build is compared with (the musl one only with
    musl-gcc). The floor is fully static, against musl when the machine has
    musl-gcc: the least start-up there is, the fairest floor for the musl
    build."""
    out = WORK / "tools"
    out.mkdir(parents=True, exist_ok=True)

    def compile_c(name, compiler, source, *flags):
        run([compiler, "-O2", *flags, "-o", out / name, BENCH / "tools" / source])
        return out / name

    # The do-nothing tool makes its one system call itself where it knows how.
    bare = (["-nostdlib"] if platform.system() == "Linux"
            and platform.machine() in ("x86_64", "aarch64") else [])
    helpers = {"launch": compile_c("launch", cc, "launch.c", "-static"),
               "null_tool": compile_c("null_tool", cc, "null_tool.c", "-static", *bare),
               "hwm_probe": compile_c("hwm_probe", cc, "hwm_probe.c", "-static"),
               "floor": compile_c("floor", musl_cc or cc, "floor.c", "-static")}
    for name in builds:
        compiler, kind = (musl_cc if name == "musl" else cc), EMPTY_OF[name]
        if compiler:
            helpers[f"empty-{kind}"] = compile_c(f"empty-{kind}", compiler, "empty.c",
                                                 *([] if name == "dynamic" else ["-static"]))
    return helpers


def write_sh_wrapper(path, tool, plugin):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("#!/bin/sh\n"
                    f"exec {shlex.quote(str(tool))} --plugin {shlex.quote(str(plugin))} \"$@\"\n")
    path.chmod(0o755)
    return path


def install_prefixes(args, dirs, variants):
    """Steps 2 and 3: lays out three installations of each build, whose
    tools are the system's, the do-nothing tool and the RSS probe; builds
    the helpers and writes the sh wrappers."""
    helpers = build_helpers(args.cc, args.musl_cc, dirs)
    tools = {"real": args.real_tools, "null": [helpers["null_tool"]] * 3,
             "hwm": [helpers["hwm_probe"]] * 3}
    prefixes = {}
    for name, build_dir in dirs.items():
        for kind, kind_tools in tools.items():
            prefixes[name, kind] = lay_out(build_dir, WORK / f"{name}-{kind}", args.plugin,
                                           kind_tools)
        variants[name]["bytes"] = {f"mavo-{p}": (prefixes[name, "real"]["bin"]
                                                 / f"mavo-{p}").stat().st_size for p in PROGRAMS}
    variants["floor"].update(
        source="bench/tools/floor.c", bytes=helpers["floor"].stat().st_size,
        built_with=f"{args.musl_cc or args.cc} -O2 -static")
    sh = {kind: {p: write_sh_wrapper(WORK / f"sh-{kind}" / p,
                                     prefixes["dynamic", kind]["tool_dir"] / p,
                                     prefixes["dynamic", kind]["plugin"]) for p in PROGRAMS}
          for kind in ("real", "null")}
    CALLS.mkdir(exist_ok=True)
    return Installations(prefixes=prefixes, helpers=helpers, sh=sh,
                         ours=[name for name in rep.OURS if name in dirs])


def compile_job_objects(args):
    """Step 4: writes the real job's sources and compiles them, once: they
    are kept between runs. Returns the job's directory and its objects,
    relative to it."""
    job = WORK / "job"
    for sub in ("src", "obj", "out"):
        (job / sub).mkdir(parents=True, exist_ok=True)
    template = string.Template((BENCH / "tools" / "job_unit.c.in").read_text())
    rng = random.Random(1234)
    objects, pending = [], []
    for i in range(args.objects):
        text = template.substitute(
            i=i, prev=(i - 1) % args.objects, seed=rng.randrange(1 << 31), degree=4 + i % 9,
            table=", ".join(str(rng.randrange(-99, 99)) for _ in range(16)))
        c, o = job / "src" / f"u{i:03d}.c", job / "obj" / f"u{i:03d}.o"
        if not c.exists() or c.read_text() != text:
            c.write_text(text)
            o.unlink(missing_ok=True)
        if not o.exists():
            pending.append((c, o))
        objects.append(o.relative_to(job))
    if pending:
        log(f"bench: compiling {len(pending)} LTO objects with {args.clang} -flto -O2"
            f" (-j{args.jobs})")
        with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
            list(pool.map(lambda co: run([args.clang, "-flto", "-O2", "-c", co[0], "-o", co[1]]),
                          pending))
    return job, objects


# ---------------------------------------------------------------- measuring

def launch(inst, commands, iterations=1, warmup=0, out=None, remove=None, cwd=CALLS):
    """Runs `commands` in turn, `iterations` times, with bench/tools/launch.c:
    the median iteration's wall time in ns."""
    cmd = [inst.helpers["launch"], "-n", iterations, "-w", warmup]
    if out:
        cmd += ["-o", out]
    if remove:
        cmd += ["-r", remove]
    for c in commands:
        cmd += ["--", *c]
    return int(run(cmd, cwd=cwd))


def timed_rounds(name, variants, rounds, measure, rng):
    """Runs measure(variant) for every variant, in a new random order each
    round (from `rng`); returns the raw rounds: {variant: [ns, ...]} as
    NAME_wall_ns and each round's order as NAME_order."""
    results = {v: [] for v in variants}
    orders = []
    step = max(1, rounds // 10)
    for r in range(rounds):
        order = list(variants)
        rng.shuffle(order)
        orders.append(order)
        for v in order:
            results[v].append(measure(v))
        if (r + 1) % step == 0 or r + 1 == rounds:
            log(f"bench: {name}: round {r + 1}/{rounds} done")
    return {f"{name}_wall_ns": results, f"{name}_order": orders}


def command(inst, v, program, tools="real"):
    """How variant `v` starts `program` (ar, nm or ranlib) in the
    installation whose tools are of kind `tools`. The direct run is the
    tool with exactly the programs' vector; the floor runs that same
    vector."""
    if v in ("direct", "floor"):
        ref = inst.prefixes["dynamic", tools]
        direct = [ref["tool_dir"] / program, "--plugin", ref["plugin"]]
        return [inst.helpers["floor"], *direct] if v == "floor" else direct
    if v == "sh":
        return [inst.sh[tools][program]]
    return [inst.prefixes[v, tools]["bin"] / f"mavo-{program}"]


def ar_rcs(inst, v, tools, *operands):
    # The programs give ar its key letters with a dash, after the plug-in.
    return [*command(inst, v, "ar", tools), "-rcs" if v in ("direct", "floor") else "rcs",
            *operands]


def call_command(inst, v, tools="null"):
    """One call of variant `v` with the do-nothing tool (or with the RSS
    probe, tools="hwm")."""
    return ar_rcs(inst, v, tools, "libx.a", "x.o")


def job_commands(inst, objects, v):
    """The archive and the three commands of variant `v`'s real job."""
    archive = f"out/{v}.a"
    return archive, [ar_rcs(inst, v, "real", archive, *objects),
                     [*command(inst, v, "ranlib"), archive], [*command(inst, v, "nm"), archive]]


def check_every_variant_does_the_job(inst, job, objects):
    """Step 5, first: every variant must make an archive with a symbol
    index, and list it as the direct run does."""
    listings = {}
    for v in inst.job_variants:
        archive, cmds = job_commands(inst, objects, v)
        listing = WORK / f"nm-{v}.txt"
        launch(inst, cmds, out=listing, remove=archive, cwd=job)
        if not (job / archive).read_bytes().startswith(b"!<arch>\n/ "):
            raise SystemExit(f"bench: {rep.TITLES[v]}: archive {archive} has no symbol index")
        listings[v] = listing.read_text()
        if listings[v] != listings["direct"]:
            raise SystemExit(f"bench: {rep.TITLES[v]}: nm listing differs from the direct run's")
    log(f"bench: the job works in every variant ({len(objects)} objects)")


def measure_real_job(args, inst, job, objects, rng):
    """The real job's rounds: ar rcs, ranlib and nm of each variant in turn."""
    def measure(v):
        archive, cmds = job_commands(inst, objects, v)
        return launch(inst, cmds, remove=archive, cwd=job)

    measure("direct")  # warms the caches
    return timed_rounds("job", inst.job_variants, args.rounds, measure, rng)


def measure_per_call_overhead(args, inst, rng):
    """The per-call rounds: a block of calls of each variant with the
    do-nothing tool, of which the median call counts."""
    def measure(v):
        return launch(inst, [call_command(inst, v)], iterations=args.calls, warmup=3)

    return timed_rounds("call", inst.call_variants, args.call_rounds, measure, rng)


def callgrind(name, cmd, env, until_exec=False):
    """Instructions of one process, its children not traced. With until_exec
    the count stops where the process replaces itself with execve (a shell's
    `exec`), which is where its own work ends: callgrind writes what came
    before into a file of its own."""
    data = WORK / "callgrind" / f"{name}.out"
    data.parent.mkdir(exist_ok=True)
    for old in data.parent.glob(f"{name}.out*"):
        old.unlink()
    run(["valgrind", "--tool=callgrind", "--trace-children=no",
         *(["--dump-before=execve"] if until_exec else []), f"--callgrind-out-file={data}",
         *cmd], cwd=CALLS, env=env)
    if until_exec:
        data = data.with_name(data.name + ".1")
    return int(re.search(r"^summary:\s*(\d+)", data.read_text(), re.M).group(1))


def count_instructions(args, inst):
    """Callgrind's count of each wrapper process alone, its children not
    traced, in both environments, --cg-runs times each; keeps
    callgrind_annotate's listings of each build's mavo-ar."""
    log("bench: counting instructions with callgrind")
    counts = {}
    for env_name, env in ENVIRONMENTS.items():
        def count(key, cmd, until_exec=False):
            file_name = f"{env_name}-{key}".replace("/", "-")
            counts[f"{env_name}/{key}"] = [callgrind(file_name, cmd, env, until_exec)
                                           for _ in range(args.cg_runs)]
        count("sh", call_command(inst, "sh"), until_exec=True)
        count("floor", call_command(inst, "floor"))
        for name in inst.ours:
            count(name, call_command(inst, name))
            for prog in ("nm", "ranlib"):
                count(f"{name}/mavo-{prog}", [*command(inst, name, prog, "null"), "x.a"])
        for helper, path in inst.helpers.items():
            if helper.startswith("empty-"):
                count(f"empty/{helper.removeprefix('empty-')}", [path])
    for name in inst.ours:
        data = WORK / "callgrind" / f"inherited-{name}.out"
        for kind, flags in (("self", ["--inclusive=no"]),
                            ("tree", ["--inclusive=yes", "--tree=calling"])):
            listing = run(["callgrind_annotate", *flags, "--threshold=100", data])
            data.with_name(f"{data.name}.{kind}.txt").write_text(listing)
    log(f"bench: callgrind's data, and listings of mavo-ar, in {WORK.relative_to(ROOT)}/callgrind/")
    return counts


def measure_peak_rss(args, inst):
    """Step 5, last: the peak RSS of each wrapper process alone. The tool it
    starts is a probe that reads the wrapper's VmHWM from /proc while the
    wrapper waits for it, so neither the tool nor what started the wrapper
    counts. Returns the samples, or why there are none: VmHWM is Linux's."""
    try:
        has_hwm = "VmHWM:" in Path("/proc/self/status").read_text()
    except OSError:
        has_hwm = False
    if not has_hwm:
        return {}, "no VmHWM in /proc/PID/status on this system"
    log("bench: measuring peak RSS")
    samples = {}
    for v in ["floor", *inst.ours]:
        cmd = call_command(inst, v, tools="hwm")
        samples[v] = []
        for _ in range(args.rss_samples):
            fields = dict(line.split("=", 1) for line in run(cmd, cwd=CALLS).splitlines())
            if os.path.realpath(fields["parent_exe"]) != os.path.realpath(cmd[0]):
                raise SystemExit(f"bench: the RSS probe's parent is {fields['parent_exe']},"
                                 f" not {cmd[0]}")
            samples[v].append(int(fields["parent_hwm_kb"]))
    return samples, None


# ---------------------------------------------------------------- the report

def compute_figures(inst, raw):
    """Every figure of the report: medians over the rounds or samples, and
    the within-round figures with their intervals (report.py's derive)."""
    ins = raw["instructions"]
    figures = {f"{series}_ms": {v: rep.stat(x * 1e-6 for x in xs)
                                for v, xs in raw[f"{series}_ns"].items()}
               for series in ("job_wall", "call_wall")}
    figures.update(rep.derive(raw, inst.call_variants, BOOTSTRAP))
    figures["instructions"] = {env: {key.removeprefix(f"{env}/"): rep.stat(xs)
                                     for key, xs in ins.items() if key.startswith(f"{env}/")}
                               for env in ENVIRONMENTS}
    figures["instructions_largest"] = {
        name: {**rep.stat(max(ins[f"{env}/{key}"]) for env in ENVIRONMENTS
                          for key in (name, f"{name}/mavo-nm", f"{name}/mavo-ranlib")),
               "judged_on": "largest of mavo-ar, mavo-nm and mavo-ranlib in both environments"}
        for name in inst.ours}
    figures["rss_kb"] = {v: {**rep.stat(kbs), "judged_on": "largest sample"}
                         for v, kbs in raw["rss_kb"].items()}
    return figures


def cpu_model():
    try:
        m = re.search(r"^(?:model name|Model|cpu model)\s*:\s*(.+)$",
                      Path("/proc/cpuinfo").read_text(), re.M)
        if m:
            return m.group(1).strip()
    except OSError:
        pass
    return first_line(["sysctl", "-n", "hw.model"]) or platform.processor() or platform.machine()


def tool_versions(args, dirs):
    """The version line of each tool the figures depend on."""
    commands = {f"C++ compiler, {name} build": read_cache(d).get("CMAKE_CXX_COMPILER")
                for name, d in dirs.items()}
    commands.update({"cc (helpers)": args.cc, "musl-gcc": args.musl_cc,
                     "clang (objects)": args.clang, **dict(zip(PROGRAMS, args.real_tools)),
                     "cmake": "cmake", "ninja": "ninja", "valgrind": "valgrind",
                     "ldd (the C library)": "ldd"})
    versions = {key: f"{cmd}: {first_line([cmd, '--version']) or '?'}"
                for key, cmd in commands.items() if cmd}
    versions["plug-in"] = os.path.realpath(args.plugin)
    versions["python"] = sys.version.split()[0]
    return versions


def parse_args():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true",
                    help="a smoke run: few rounds and calls, one count each (under a minute)")
    ap.add_argument("--rounds", type=int, help="rounds of the real job (default 300, quick 15)")
    ap.add_argument("--call-rounds", type=int,
                    help="rounds of the per-call part (default 200, quick 10)")
    ap.add_argument("--calls", type=int,
                    help="calls per variant and round in the per-call part (default 50, quick 20)")
    ap.add_argument("--cg-runs", type=int,
                    help="callgrind runs of each count (default 3, quick 1)")
    ap.add_argument("--rss-samples", type=int,
                    help="peak RSS samples of each variant (default 15, quick 5)")
    ap.add_argument("--objects", type=int, default=100, help="LTO objects in the real job")
    ap.add_argument("--no-build", action="store_true",
                    help="use the existing build/bench-* builds as they are")
    ap.add_argument("--no-musl", action="store_true",
                    help="leave the musl build out (reported as not measured)")
    ap.add_argument("--cxx", help="C++ compiler for the glibc builds (default: CMake's choice)")
    ap.add_argument("--cc", default="cc", help="C compiler for the helper programs")
    ap.add_argument("--clang", default=None, help="clang for the LTO objects")
    ap.add_argument("--plugin", default=None, help="plug-in (default: LLVM's LLVMgold.so)")
    ap.add_argument("--jobs", type=int, default=2, help="parallel build jobs (default 2)")
    ap.add_argument("--seed", type=int, default=1, help="seed of the round order (default 1)")
    ap.add_argument("--report", type=Path, default=None,
                    help="report file (default bench/results/DATE-DESCRIBE[-quick].json)")
    args = ap.parse_args()
    for name, full, quick in (("rounds", 300, 15), ("call_rounds", 200, 10), ("calls", 50, 20),
                              ("cg_runs", 3, 1), ("rss_samples", 15, 5)):
        if getattr(args, name) is None:
            setattr(args, name, quick if args.quick else full)
        if getattr(args, name) < 1:
            ap.error(f"--{name.replace('_', '-')} must be at least 1")
    return args


def main():
    args = parse_args()
    started = datetime.datetime.now(datetime.timezone.utc)
    # Before this run writes anything; git describe --dirty looks at tracked
    # files only, so the reports a run adds do not count.
    commit = first_line(["git", "-C", ROOT, "describe", "--always", "--dirty"]) or "nogit"
    load_before = os.getloadavg()
    find_machine_tools(args)
    WORK.mkdir(parents=True, exist_ok=True)

    dirs, variants = build_variants(args)
    inst = install_prefixes(args, dirs, variants)
    job, objects = compile_job_objects(args)
    check_every_variant_does_the_job(inst, job, objects)
    rng = random.Random(args.seed)
    raw = {**measure_real_job(args, inst, job, objects, rng),
           **measure_per_call_overhead(args, inst, rng),
           "instructions": count_instructions(args, inst)}
    raw["rss_kb"], rss_missing = measure_peak_rss(args, inst)

    report = {
        "format": rep.FORMAT,
        "commit": commit,
        "date": started.strftime("%Y-%m-%dT%H:%M:%SZ"),
        "duration_s": round((datetime.datetime.now(started.tzinfo) - started).total_seconds(), 1),
        "machine": {"uname": first_line(["uname", "-a"]), "cpu": cpu_model(),
                    "cores": os.cpu_count(), "load_before": load_before,
                    "load_after": os.getloadavg()},
        "tools": tool_versions(args, dirs),
        "options": {
            "quick": args.quick, "job_rounds": args.rounds, "call_rounds": args.call_rounds,
            "calls": args.calls, "callgrind_runs": args.cg_runs, "rss_samples": args.rss_samples,
            "objects": args.objects, "seed": args.seed, "bootstrap": BOOTSTRAP,
            "jobs": args.jobs, "no_build": args.no_build, "command_line": sys.argv[1:],
            "environments": {"inherited": f"{len(os.environ)} variables",
                             "minimal": ENVIRONMENTS["minimal"]}},
        "variants": variants,
        "figures": compute_figures(inst, raw),
        "raw": raw,
    }
    if rss_missing:
        report["not_measured"] = {"rss_kb": rss_missing}
    report["targets"] = rep.judge(report)
    report["all_targets_met"] = all(t["status"] == "met" for t in report["targets"])

    path = args.report or BENCH / "results" / (
        f"{started:%Y-%m-%d}-{commit}{'-quick' if args.quick else ''}.json")
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(json.dumps(report, indent=1) + "\n")
    print("\n".join(rep.text(report, path)))
    log(f"bench: report in {path} (print it again with bench/report.py);"
        f" the run took {report['duration_s']:.0f} s")
    return 0 if report["all_targets_met"] else 3


if __name__ == "__main__":
    sys.exit(main())
