#!/usr/bin/env python3
"""Benchmark of mavo-ar, mavo-nm and mavo-ranlib: three builds of the
programs against running the tools directly, against the floor (the least
a wrapper of this design can cost) and against a hand-written /bin/sh
wrapper.

Builds the programs three times, Release, without tests: C library (glibc)
dynamic, glibc fully static (MAVO_STATIC=ON) and fully static against musl
(MAVO_MUSL=ON, when this tree has that option and the machine has musl).
Installs each build into prefixes of its own under build/bench-work/ and
measures, for the six variants side by side:

  * a real job: 100 `clang -flto` objects put into an archive with
    `ar rcs`, indexed with `ranlib` and listed with `nm` (all but the floor);
  * the cost of one call with a do-nothing tool, also over the sh wrapper's
    and over the floor's;
  * the instructions the wrapper process executes by itself (callgrind,
    children not traced) and its peak resident set size.

Timed variants run interleaved in a new random order each round. Figures
taken within a round (ratios, overheads) get a bootstrap interval of their
median over the rounds; the targets are judged on the interval. Every run
writes a JSON report to bench/results/ that bench/report.py prints, and can
check, from its raw rounds. See bench/README.md.
"""

import argparse
import datetime
import json
import os
import platform
import random
import re
import shlex
import shutil
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import report as rep  # noqa: E402  (bench/report.py: intervals, targets, table)

ROOT = Path(__file__).resolve().parent.parent
BENCH = ROOT / "bench"
PROGRAMS = ("ar", "nm", "ranlib")
MINIMAL_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
CXX_RUNTIME = re.compile(r"lib(stdc\+\+|c\+\+|c\+\+abi|supc\+\+|gcc_s|unwind)\b")

# Every bench build: Release, no tests, no demo.
COMMON_OPTIONS = ["-DCMAKE_BUILD_TYPE=Release", "-DBUILD_TESTING=OFF",
                  "-DMAVO_DEMO=OFF"]
BUILDS = {
    "dynamic": ["-DMAVO_STATIC=OFF", "-DMAVO_MUSL=OFF"],
    "static": ["-DMAVO_STATIC=ON", "-DMAVO_MUSL=OFF"],
    "musl": ["-DMAVO_MUSL=ON"],
}
# The C library and linkage each build must have, or it is not the variant
# its name says (an option the tree does not know is ignored by CMake).
EXPECTED_LIBC = {"dynamic": ("glibc", "dynamic"), "static": ("glibc", "static"),
                 "musl": ("musl", "static")}
# The empty C program each build is compared with.
EMPTY_OF = {"dynamic": "glibc-dynamic", "static": "glibc-static", "musl": "musl-static"}


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


def try_output(cmd, stream="stdout"):
    """What a command prints, or None when it cannot run: for versions and
    other facts about the machine, none of which may stop the benchmark."""
    try:
        res = subprocess.run([str(c) for c in cmd], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, timeout=30)
    except (OSError, subprocess.TimeoutExpired):
        return None
    text = res.stdout if stream == "stdout" else res.stderr
    return text.strip() or None


def first_line(text):
    return text.splitlines()[0].strip() if text else None


def which(name, what):
    path = shutil.which(name)
    if not path:
        raise SystemExit(f"bench: {what} '{name}' not found on PATH")
    return path


class Phases:
    """Wall time of each part of the run, for the report."""

    def __init__(self):
        self.start = time.monotonic()
        self.last = self.start
        self.seconds = {}

    def done(self, name):
        now = time.monotonic()
        self.seconds[name] = round(now - self.last, 1)
        self.last = now
        log(f"bench: {name} took {self.seconds[name]:.0f} s ({now - self.start:.0f} s so far)")


# ---------------------------------------------------------------- set-up

def read_cache(build_dir):
    cache = {}
    for line in (build_dir / "CMakeCache.txt").read_text().splitlines():
        m = re.match(r"^([A-Za-z0-9_]+):[A-Z]+=(.*)$", line)
        if m:
            cache[m.group(1)] = m.group(2)
    return cache


def tree_has_option(name):
    """Whether the project's CMake files define `name`."""
    files = [ROOT / "CMakeLists.txt", *sorted((ROOT / "cmake").glob("*.cmake"))]
    return any(name in f.read_text(errors="replace") for f in files if f.is_file())


def c_library(exe):
    """(C library, linkage) of an executable: the loader it asks for when
    dynamic; when static, glibc leaves its tunables' names in every binary
    and musl has nothing of the kind."""
    _, interp = elf_info(exe)
    if interp:
        base = os.path.basename(interp)
        return ("musl" if "ld-musl" in base else "glibc" if "ld-linux" in base else base,
                "dynamic")
    data = Path(exe).read_bytes()
    return ("glibc" if b"GLIBC_TUNABLES" in data or b"glibc.malloc" in data else "musl",
            "static")


def build_programs(args, name, required):
    """Configures and builds one build; returns (build directory, None), or
    (None, reason) when an optional build cannot be made."""
    build_dir = ROOT / "build" / f"bench-{name}"

    def fail(reason, detail=""):
        if required:
            log(detail)
            raise SystemExit(f"bench: {name} build: {reason}")
        log(f"bench: {name} build not available: {reason}")
        return None, reason

    if name == "musl" and not tree_has_option("MAVO_MUSL"):
        return fail("this tree has no MAVO_MUSL option (branch musl not merged)")
    if args.no_build and (build_dir / "build.ninja").exists():
        return build_dir, None
    cmd = ["cmake", "-S", ROOT, "-B", build_dir, "-G", "Ninja", *COMMON_OPTIONS, *BUILDS[name]]
    if args.cxx and name != "musl":
        cmd.append(f"-DCMAKE_CXX_COMPILER={args.cxx}")
    log(f"bench: configuring the {name} build in {build_dir.relative_to(ROOT)}")
    res = subprocess.run([str(c) for c in cmd], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         text=True)
    if res.returncode != 0 and build_dir.exists():
        # A build directory configured by another version of the project (or
        # with another compiler) cannot always be reconfigured: start afresh.
        log(f"bench: configuring failed; again in a fresh {build_dir.relative_to(ROOT)}")
        shutil.rmtree(build_dir)
        res = subprocess.run([str(c) for c in cmd], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    if res.returncode != 0:
        last = [line for line in res.stderr.splitlines() if line.strip()][-3:]
        return fail("configuring failed: " + " / ".join(x.strip() for x in last),
                    res.stdout + res.stderr)
    log(f"bench: building {name} (-j{args.jobs})")
    res = subprocess.run(["cmake", "--build", str(build_dir), "-j", str(args.jobs), "--target",
                          *[f"mavo-{p}" for p in PROGRAMS]],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if res.returncode != 0:
        errors = [line for line in res.stdout.splitlines() if "error" in line.lower()][:2]
        return fail("building failed: " + " / ".join(errors), res.stdout + res.stderr)
    return build_dir, None


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


def build_helpers(work, cc, musl_cc):
    """The launcher, the tools the wrappers start, and the empty C programs
    each kind of build is compared with (musl's only with `musl_cc`)."""
    tools = work / "tools"
    tools.mkdir(parents=True, exist_ok=True)
    src = BENCH / "tools"
    out = {}

    def build(name, compiler, source, flags):
        target = tools / name
        run([compiler, "-O2", *flags, "-o", target, src / source],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        out[name] = target

    build("launch", cc, "launch.c", ["-static"])
    if platform.machine() in ("x86_64", "aarch64"):
        build("null_tool", cc, "null_tool.c", ["-static", "-nostdlib"])
    else:
        build("null_tool", cc, "null_tool.c", ["-static"])
    build("hwm_probe", cc, "hwm_probe.c", ["-static"])
    kinds = [("glibc-dynamic", cc, []), ("glibc-static", cc, ["-static"])]
    if musl_cc:
        kinds.append(("musl-static", musl_cc, ["-static"]))
    for kind, compiler, flags in kinds:
        build(f"empty-{kind}", compiler, "empty.c", flags)
        build(f"self_hwm-{kind}", compiler, "self_hwm.c", flags)
    return out


def build_floor(work, cc, musl_cc):
    """The floor variant's program: fully static, against musl when the
    machine has musl-gcc (the least start-up there is, and the fairest floor
    for the musl build), else against glibc. Returns (path, how it was built)."""
    target = work / "tools" / "floor"
    target.parent.mkdir(parents=True, exist_ok=True)
    for compiler in ([musl_cc] if musl_cc else []) + [cc]:
        res = subprocess.run([str(compiler), "-O2", "-static", "-o", str(target),
                              str(BENCH / "tools" / "floor.c")],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        if res.returncode == 0:
            return target, f"{compiler} -O2 -static"
        log(f"bench: building the floor with {compiler} failed: {res.stderr.strip()}")
    raise SystemExit("bench: the floor program (bench/tools/floor.c) does not build")


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
                       r"median_ns=(\d+) min_ns=(\d+) "
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
    it, total, mean, median, least, rss, cpu, faults = map(int, m.groups())
    return {"wall_ns": median, "mean_ns": mean, "min_ns": least, "cpu_ns": cpu * 1000 / it,
            "maxrss_kb": rss, "minflt": faults / it}


def timed_rounds(label, variants, rounds, measure, rng):
    """Runs measure(variant) for every variant, in a new random order each
    round (from `rng`); returns {variant: [result, ...]} and the orders."""
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
            log(f"bench: {label}: round {r + 1}/{rounds} done")
    return results, orders


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


# ---------------------------------------------------------------- provenance

def git_state():
    """The commit measured and whether the tree differs from it. The reports
    under bench/results/ are left out: a run writes one there itself."""
    def git(*a):
        return try_output(["git", "-C", ROOT, *a])
    commit = git("rev-parse", "HEAD")
    if not commit:
        return {"hash": None, "short": "nogit", "branch": None, "dirty": None, "changes": []}
    res = subprocess.run(["git", "-C", str(ROOT), "status", "--porcelain", "--", ".",
                          ":(exclude)bench/results"], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True)
    changes = [line for line in res.stdout.splitlines() if line.strip()]
    return {"hash": commit, "short": git("rev-parse", "--short=7", "HEAD"),
            "branch": git("rev-parse", "--abbrev-ref", "HEAD"), "dirty": bool(changes),
            "changes": changes[:50]}


def dpkg_version(package):
    return try_output(["dpkg-query", "-W", "-f=${Version}", package])


def plugin_package(plugin):
    """The Debian package, and its version, that the plug-in comes from."""
    owner = try_output(["dpkg-query", "-S", os.path.realpath(plugin)])
    if not owner:
        return None
    package = owner.split(":", 1)[0]
    return f"{package} {dpkg_version(package) or '?'}"


def read_text(path):
    try:
        return Path(path).read_text(errors="replace")
    except OSError:
        return ""


def machine_info():
    cpuinfo = read_text("/proc/cpuinfo")
    m = re.search(r"^(?:model name|Model|cpu model)\s*:\s*(.+)$", cpuinfo, re.M)
    mem = re.search(r"^MemTotal:\s*(\d+) kB", read_text("/proc/meminfo"), re.M)
    u = platform.uname()
    glibc = None
    try:
        glibc = os.confstr("CS_GNU_LIBC_VERSION").removeprefix("glibc ")
    except (ValueError, OSError):
        pass
    musl = None
    for loader in sorted(Path("/lib").glob("ld-musl-*.so.1")):
        # The musl loader run by itself prints its version on standard error.
        v = re.search(r"Version\s+(\S+)", try_output([loader], "stderr") or "")
        if v:
            musl = v.group(1)
            break
    return {
        "processor": m.group(1).strip() if m else (platform.processor() or u.machine),
        "architecture": u.machine,
        "cores": os.cpu_count(),
        "memory_kb": int(mem.group(1)) if mem else None,
        "kernel": f"{u.system} {u.release} {u.version}",
        "c_libraries": {"glibc": glibc, "musl": musl},
        "c_library_details": {"ldd --version": first_line(try_output(["ldd", "--version"])),
                              "dpkg libc6": dpkg_version("libc6"),
                              "dpkg musl": dpkg_version("musl"),
                              "dpkg musl-dev": dpkg_version("musl-dev")},
        "os": first_line(re.sub(r'^PRETTY_NAME="?(.*?)"?$', r"\1",
                                next((line for line in read_text("/etc/os-release").splitlines()
                                      if line.startswith("PRETTY_NAME=")), ""))),
    }


def tool_versions(args, caches, clang, plugin, real_tools, musl_cc):
    def version(cmd):
        return first_line(try_output([*cmd, "--version"]))
    compilers = {}
    for name, cache in caches.items():
        for lang in ("CXX", "C"):
            path = cache.get(f"CMAKE_{lang}_COMPILER")
            if path:
                compilers[f"{name} build, {lang}"] = f"{path}: {version([path])}"
    sh = os.path.realpath("/bin/sh")
    return {
        "build_compilers": compilers,
        "cc (helpers)": f"{args.cc}: {version([args.cc])}",
        "musl-gcc": f"{musl_cc}: {version([musl_cc])}" if musl_cc else None,
        "clang (objects)": f"{clang}: {version([clang])}",
        "plug-in": f"{plugin} ({plugin_package(plugin) or 'package unknown'})",
        "binutils": {p: f"{path}: {version([path])}" for p, path in real_tools.items()},
        "/bin/sh": f"{sh} ({os.path.basename(sh)} {dpkg_version(os.path.basename(sh)) or '?'})",
        "cmake": version(["cmake"]),
        "ninja": version(["ninja"]),
        "valgrind": version(["valgrind"]),
        "python": sys.version.split()[0],
    }


# ---------------------------------------------------------------- main

def parse_args():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true",
                    help="a smoke run: few rounds and calls, one count each (about a minute)")
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
    ap.add_argument("--resamples", type=int, default=5000,
                    help="bootstrap resamples (default 5000)")
    ap.add_argument("--bootstrap-seed", type=int, default=20261210,
                    help="seed of the bootstrap's resamples (default 20261210)")
    ap.add_argument("--confidence", type=float, default=0.95,
                    help="confidence of the intervals (default 0.95)")
    ap.add_argument("--top", type=int, default=12,
                    help="functions listed from callgrind per build (default 12)")
    ap.add_argument("--report", type=Path, default=None,
                    help="report file (default bench/results/DATE-COMMIT[-dirty][-quick].json)")
    args = ap.parse_args()
    q = args.quick
    for name, full, quick in (("rounds", 300, 15), ("call_rounds", 200, 10), ("calls", 50, 20),
                              ("cg_runs", 3, 1), ("rss_samples", 15, 5)):
        if getattr(args, name) is None:
            setattr(args, name, quick if q else full)
        if getattr(args, name) < 1:
            ap.error(f"--{name.replace('_', '-')} must be at least 1")
    if not 0.5 <= args.confidence < 1:
        ap.error("--confidence must lie in [0.5, 1)")
    return args


def find_plugin(args):
    if args.plugin:
        return Path(args.plugin)
    candidates = []
    if shutil.which("llvm-config"):
        libdir = capture(["llvm-config", "--libdir"]).stdout.strip()
        candidates.append(Path(libdir) / "LLVMgold.so")
    candidates += [Path("/usr/lib/llvm-14/lib/LLVMgold.so"), Path("/usr/lib/LLVMgold.so")]
    plugin = next((c for c in candidates if c.exists()), None)
    if plugin is None:
        raise SystemExit("bench: LLVMgold.so not found; give --plugin")
    return plugin


def stat_or_none(values):
    values = [v for v in values if v is not None]
    return rep.stat(values) if values else None


# ---------------------------------------------------------------- the phases
#
# main() runs them in the order bench/README.md lists them; each takes what
# the earlier ones found, as plain records, and returns a record of its own.

@dataclass
class Setting:
    """What every phase needs: the options, the work directory, the
    generator of the round orders and the machine's tools."""
    args: argparse.Namespace
    work: Path
    rng: random.Random
    clang: str
    plugin: Path
    real_tools: dict          # "ar", "nm", "ranlib" -> the platform's tool
    musl_cc: str | None       # musl-gcc, when the machine has it
    load_before: tuple


@dataclass
class Builds:
    """The builds that were made, and for every variant whether it is measured."""
    dirs: dict                # build name -> build directory
    caches: dict              # build name -> its CMake cache
    variants_info: dict       # variant -> the report's "variants" entry


@dataclass
class Installations:
    """The installed programs, the helpers, and who runs what."""
    helpers: dict             # helper name -> executable
    prefixes: dict            # (build, "real" | "null" | "hwm") -> install_prefix()'s record
    sh_real: dict             # program -> sh wrapper that starts the real tool
    sh_null: dict             # program -> sh wrapper that starts the do-nothing tool
    ours: list                # the builds measured, in the table's order
    empty_kinds: list         # the kinds of empty C program built
    cxx_runtime: dict         # build -> the C++ runtime libraries it needs (must be none)
    calls_dir: Path           # where the calls with the do-nothing tool run

    @property
    def job_variants(self):
        """The floor does not run the real job: its cost is the per-call
        overhead, which is far below the spread of a job's rounds."""
        return ["direct", "sh", *self.ours]

    @property
    def call_variants(self):
        return ["direct", "floor", "sh", *self.ours]


@dataclass
class Job:
    """The real job's objects, and what its check found."""
    dir: Path
    objects: list             # relative to dir
    symbols: int              # defined symbols in the direct run's nm listing


@dataclass
class Rounds:
    """Timed rounds: each variant's results in round order, and each round's order."""
    results: dict             # variant -> [launch()'s result, ...]
    orders: list


@dataclass
class Instructions:
    """Callgrind's counts of the wrapper processes alone."""
    envs: dict                # environment name -> the environment
    counts: dict              # (environment, key) -> [count of each run]
    files: dict               # (environment, key) -> callgrind's data file
    profiles: dict            # build -> profile() of its mavo-ar
    empty_profiles: dict      # build -> profile() of its empty C program


@dataclass
class PeakRss:
    """Peak RSS samples."""
    wait4: dict               # variant -> [largest ru_maxrss of the tree, kB]
    own: dict                 # floor or build -> [its own VmHWM read by the probe, kB]
    mappings: dict            # floor or build -> [(mapping, resident kB)] of the median sample
    self_hwm: dict            # kind of C program -> [the VmHWM it reports of itself, kB]


CALL_ARGS = ["rcs", "libx.a", "x.o"]


def call_command(inst, v, tools="null"):
    """One call of variant `v` with the do-nothing tool (or with the RSS
    probe, tools="hwm"). The direct run is the tool with exactly the
    programs' vector; the floor runs that same vector."""
    ref = inst.prefixes["dynamic", tools]
    direct = [ref["tool_dir"] / "ar", "--plugin", ref["plugin"], "-rcs", *CALL_ARGS[1:]]
    if v == "direct":
        return direct
    if v == "floor":
        return [inst.helpers["floor"], *direct]
    if v == "sh":
        return [inst.sh_null["ar"], *CALL_ARGS]
    return [inst.prefixes[v, tools]["bin"] / "mavo-ar", *CALL_ARGS]


def job_commands(inst, objects, v):
    """The archive and the three commands of variant `v`'s real job."""
    archive = f"out/{v}.a"
    objs = [str(o) for o in objects]
    if v == "direct":
        ref = inst.prefixes["dynamic", "real"]
        t, plug = ref["tool_dir"], str(ref["plugin"])
        return archive, [[t / "ar", "--plugin", plug, "-rcs", archive, *objs],
                         [t / "ranlib", "--plugin", plug, archive],
                         [t / "nm", "--plugin", plug, archive]]
    if v == "sh":
        return archive, [[inst.sh_real["ar"], "rcs", archive, *objs],
                         [inst.sh_real["ranlib"], archive],
                         [inst.sh_real["nm"], archive]]
    b = inst.prefixes[v, "real"]["bin"]
    return archive, [[b / "mavo-ar", "rcs", archive, *objs],
                     [b / "mavo-ranlib", archive],
                     [b / "mavo-nm", archive]]


def find_machine_tools(args):
    """Step 0: the tools of the machine the run needs, before anything is built."""
    for tool in ("cmake", "ninja", "valgrind", "callgrind_annotate", "readelf", "ldd"):
        which(tool, "program")
    work = ROOT / "build" / "bench-work"
    work.mkdir(parents=True, exist_ok=True)
    return Setting(args=args, work=work, rng=random.Random(args.seed),
                   clang=args.clang or shutil.which("clang") or which("clang-14", "compiler"),
                   plugin=find_plugin(args),
                   real_tools={p: which(p, "tool") for p in PROGRAMS},
                   musl_cc=shutil.which("musl-gcc"), load_before=os.getloadavg())


def build_variants(s):
    """Step 1: configures and builds the programs three ways. The glibc
    builds must succeed; the musl build is measured when it can be made."""
    variants_info = {v: {"title": rep.TITLES[v], "measured": True, "reason": None}
                     for v in rep.VARIANTS}
    dirs = {}
    for name in BUILDS:
        if name == "musl" and s.args.no_musl:
            build_dir, reason = None, "left out with --no-musl"
        else:
            build_dir, reason = build_programs(s.args, name, required=name != "musl")
        if build_dir:
            dirs[name] = build_dir
        else:
            variants_info[name].update(measured=False, reason=reason)
    return Builds(dirs=dirs, caches={name: read_cache(d) for name, d in dirs.items()},
                  variants_info=variants_info)


def install_prefixes(s, builds):
    """Steps 2 and 3: installs each build into its prefixes, checks that it
    is the C library and linkage its name says (else the musl build is not
    measured), builds the helpers, writes the sh wrappers and reads the
    installed programs' run-time dependencies."""
    info = builds.variants_info
    # The musl build needs musl's headers and libraries only; the empty musl
    # program it is compared with is built with musl-gcc, when there is one.
    helpers = build_helpers(s.work, s.args.cc, s.musl_cc if "musl" in builds.dirs else None)
    lay = layout(builds.caches["dynamic"])
    prefixes = {}
    for name, build_dir in list(builds.dirs.items()):
        prefixes[name, "real"] = install_prefix(build_dir, s.work / f"{name}-real", lay,
                                                s.plugin, s.real_tools)
        libc = c_library(prefixes[name, "real"]["bin"] / "mavo-ar")
        info[name]["c_library"] = " ".join(libc)
        if libc != EXPECTED_LIBC[name]:
            reason = (f"the build is {' '.join(libc)}, not {' '.join(EXPECTED_LIBC[name])}")
            if name != "musl":
                raise SystemExit(f"bench: {name} build: {reason}")
            log(f"bench: musl build not measured: {reason} (MAVO_MUSL=ON had no effect?)")
            info[name].update(measured=False, reason=reason)
            del builds.dirs[name]
            continue
        prefixes[name, "null"] = install_prefix(build_dir, s.work / f"{name}-null", lay, s.plugin,
                                                {p: helpers["null_tool"] for p in PROGRAMS})
        prefixes[name, "hwm"] = install_prefix(build_dir, s.work / f"{name}-hwm", lay, s.plugin,
                                               {p: helpers["hwm_probe"] for p in PROGRAMS})
    ours = [name for name in rep.OURS if name in builds.dirs]
    helpers["floor"], built_with = build_floor(s.work, s.args.cc, s.musl_cc)
    info["floor"].update(c_library=" ".join(c_library(helpers["floor"])), program={
        "source": "bench/tools/floor.c", "built_with": built_with,
        "bytes": helpers["floor"].stat().st_size,
        "does": "vfork, execve of the tool with the programs' vector, waitpid, exit with the"
                " tool's status",
        "runs": "the per-call part, the instruction count and peak RSS; not the real job"})
    ref_real, ref_null = prefixes["dynamic", "real"], prefixes["dynamic", "null"]
    sh_real = {p: write_sh_wrapper(s.work / "sh-real" / p, ref_real["tool_dir"] / p,
                                   ref_real["plugin"]) for p in PROGRAMS}
    sh_null = {p: write_sh_wrapper(s.work / "sh-null" / p, ref_null["tool_dir"] / p,
                                   ref_null["plugin"]) for p in PROGRAMS}

    # Run-time dependencies of the installed programs.
    deps = {}
    for name in ours:
        for p in PROGRAMS:
            exe = prefixes[name, "real"]["bin"] / f"mavo-{p}"
            needed, interp = elf_info(exe)
            deps[name, p] = {"needed": needed, "interp": interp,
                             "loaded": loaded_libraries(exe), "size": exe.stat().st_size}
    cxx_runtime = {name: sorted({lib for p in PROGRAMS for lib in deps[name, p]["needed"]
                                 + [os.path.basename(x) for x in deps[name, p]["loaded"]]
                                 if CXX_RUNTIME.search(lib)}) for name in ours}
    for name in ours:
        info[name]["installed"] = {
            "bin": str(prefixes[name, "real"]["bin"].relative_to(ROOT)),
            "needed": deps[name, "ar"]["needed"], "interpreter": deps[name, "ar"]["interp"],
            "loaded": [os.path.basename(x) for x in deps[name, "ar"]["loaded"]],
            "bytes": {f"mavo-{p}": deps[name, p]["size"] for p in PROGRAMS},
            "cxx_runtime": cxx_runtime[name],
            "cmake_options": COMMON_OPTIONS + BUILDS[name]}

    calls_dir = s.work / "calls"
    calls_dir.mkdir(exist_ok=True)
    return Installations(
        helpers=helpers, prefixes=prefixes, sh_real=sh_real, sh_null=sh_null, ours=ours,
        empty_kinds=sorted({EMPTY_OF[name] for name in ours
                            if f"empty-{EMPTY_OF[name]}" in helpers}),
        cxx_runtime=cxx_runtime, calls_dir=calls_dir)


def compile_job_objects(s):
    """Step 4: the real job's objects, written and compiled once."""
    job_dir, objects = make_objects(s.args, s.work, s.clang)
    (job_dir / "out").mkdir(exist_ok=True)
    return job_dir, objects


def check_every_variant_does_the_job(s, inst, job_dir, objects):
    """Step 5, first: every variant must make an archive with a symbol
    index, and list it as the direct run does."""
    listings = {}
    for v in inst.job_variants:
        archive, cmds = job_commands(inst, objects, v)
        listing = s.work / f"nm-{v}.txt"
        launch(inst.helpers, cmds, out=listing, remove=archive, cwd=job_dir)
        data = (job_dir / archive).read_bytes()
        if not data.startswith(b"!<arch>\n/ "):
            raise SystemExit(f"bench: {rep.TITLES[v]}: archive {archive} has no symbol index")
        listings[v] = listing.read_text()
        if listings[v] != listings["direct"]:
            raise SystemExit(f"bench: {rep.TITLES[v]}: nm listing differs from the direct run's")
    symbols = sum(1 for line in listings["direct"].splitlines() if re.match(r"^\S+ [TDRB] ", line))
    log(f"bench: the job works in every variant ({len(objects)} objects, "
        f"{symbols} defined symbols listed)")
    return Job(dir=job_dir, objects=objects, symbols=symbols)


def measure_real_job(s, inst, job):
    """The real job's rounds: ar rcs, ranlib and nm of each variant in turn."""
    def measure(v):
        archive, cmds = job_commands(inst, job.objects, v)
        return launch(inst.helpers, cmds, remove=archive, cwd=job.dir)

    launch(inst.helpers, job_commands(inst, job.objects, "direct")[1], remove="out/direct.a",
           cwd=job.dir)  # warms the caches
    results, orders = timed_rounds("real job", inst.job_variants, s.args.rounds, measure, s.rng)
    return Rounds(results=results, orders=orders)


def measure_per_call_overhead(s, inst):
    """The per-call rounds: a block of calls of each variant with the do-nothing tool."""
    def measure(v):
        return launch(inst.helpers, [call_command(inst, v)], iterations=s.args.calls, warmup=3,
                      cwd=inst.calls_dir)

    results, orders = timed_rounds("per call", inst.call_variants, s.args.call_rounds, measure,
                                   s.rng)
    return Rounds(results=results, orders=orders)


def count_instructions(s, inst):
    """Callgrind's count of each wrapper process alone, its children not
    traced, in two environments: the one this benchmark was started in (what
    a build passes on), and a minimal one, the same everywhere. The C
    library's start-up reads every variable, and the programs parse PATH."""
    log("bench: counting instructions with callgrind")
    envs = {
        "inherited": dict(os.environ),
        "minimal": {"PATH": MINIMAL_PATH, "HOME": os.environ.get("HOME", "/"), "LANG": "C.UTF-8"},
    }
    counts, files = {}, {}
    for env_name, env in envs.items():
        def count(key, cmd, until_exec=False):
            values = []
            for _ in range(s.args.cg_runs):
                file_name = f"{env_name}-{key}".replace("/", "-")
                n, files[env_name, key] = callgrind(s.work, file_name, cmd, inst.calls_dir,
                                                    env=env, until_exec=until_exec)
                values.append(n)
            counts[env_name, key] = values
        count("sh", call_command(inst, "sh"), until_exec=True)
        count("floor", call_command(inst, "floor"))
        for name in inst.ours:
            count(name, call_command(inst, name))
            for prog in ("nm", "ranlib"):
                count(f"{name}/mavo-{prog}",
                      [inst.prefixes[name, "null"]["bin"] / f"mavo-{prog}", "x.a"])
        for kind in inst.empty_kinds:
            count(f"empty/{kind}", [inst.helpers[f"empty-{kind}"]])
    return Instructions(
        envs=envs, counts=counts, files=files,
        profiles={name: profile(files["inherited", name]) for name in inst.ours},
        empty_profiles={name: profile(files["inherited", f"empty/{EMPTY_OF[name]}"])
                        if EMPTY_OF[name] in inst.empty_kinds else {"self": {}}
                        for name in inst.ours})


def own_hwm_samples(s, inst, v):
    """The VmHWM of variant `v`'s process itself while it waits for the
    probe it started, sampled --rss-samples times, and its mappings in the
    median sample (resident kB per file, or kind of anonymous memory)."""
    cmd = call_command(inst, v, tools="hwm")
    exe = cmd[0]
    samples = []
    for _ in range(s.args.rss_samples):
        probe_out = s.work / f"hwm-{v}.txt"
        launch(inst.helpers, [cmd], mode="fork", out=probe_out, cwd=inst.calls_dir)
        text = probe_out.read_text()
        fields = dict(line.split("=", 1) for line in text.splitlines() if "=" in line)
        if os.path.realpath(fields.get("parent_exe", "")) != os.path.realpath(exe):
            raise SystemExit(f"bench: the RSS probe's parent is {fields.get('parent_exe')}, "
                             f"not {exe}")
        samples.append((int(fields["parent_hwm_kb"]), text))
    samples.sort(key=lambda sample: sample[0])
    maps = {}
    for line in samples[len(samples) // 2][1].splitlines():
        if line.startswith("mapping="):
            kb, _, rest = line[len("mapping="):].partition(" ")
            perms, _, path = rest.partition(" ")
            key = os.path.basename(path) if path.startswith("/") else (path or "[anon]")
            key = f"{key} ({'text' if 'x' in perms else 'data' if 'w' in perms else 'ro'})"
            maps[key] = maps.get(key, 0) + int(kb)
    return [kb for kb, _ in samples], sorted(maps.items(), key=lambda kv: -kv[1])


def measure_peak_rss(s, inst):
    """Peak RSS of each wrapper process alone (the probe's reading of its
    VmHWM), the wait4 figure of every variant, and the VmHWM an empty C
    program of each kind reports of itself."""
    log("bench: measuring peak RSS")
    wait4 = {v: [launch(inst.helpers, [call_command(inst, v)], mode="fork",
                        cwd=inst.calls_dir)["maxrss_kb"] for _ in range(s.args.rss_samples)]
             for v in inst.call_variants}
    own, mappings = {}, {}
    for v in ["floor", *inst.ours]:
        own[v], mappings[v] = own_hwm_samples(s, inst, v)
    self_hwm = {}
    for kind in inst.empty_kinds:
        values = []
        for _ in range(s.args.rss_samples):
            out_file = s.work / f"self-hwm-{kind}.txt"
            launch(inst.helpers, [[inst.helpers[f"self_hwm-{kind}"]]], mode="fork", out=out_file,
                   cwd=inst.calls_dir)
            values.append(int(re.search(r"VmHWM:\s*(\d+)", out_file.read_text()).group(1)))
        self_hwm[kind] = values
    return PeakRss(wait4=wait4, own=own, mappings=mappings, self_hwm=self_hwm)


def raw_rounds(inst, job, calls, ins, rss):
    """The report's "raw": every round and sample, from which report.py
    computes the figures again."""
    jv, cv = inst.job_variants, inst.call_variants
    return {
        "job_wall_ns": {v: [r["wall_ns"] for r in job.results[v]] for v in jv},
        "job_cpu_ns": {v: [r["cpu_ns"] for r in job.results[v]] for v in jv},
        "call_wall_ns": {v: [r["wall_ns"] for r in calls.results[v]] for v in cv},
        "call_mean_ns": {v: [r["mean_ns"] for r in calls.results[v]] for v in cv},
        "call_cpu_ns": {v: [r["cpu_ns"] for r in calls.results[v]] for v in cv},
        "call_minflt": {v: [r["minflt"] for r in calls.results[v]] for v in cv},
        "job_order": job.orders, "call_order": calls.orders,
        "instructions": {f"{e}/{k}": v for (e, k), v in ins.counts.items()},
        "rss_kb": rss.own, "rss_wait4_kb": rss.wait4, "rss_floor_kb": rss.self_hwm,
    }


def bootstrap_options(args):
    return {"resamples": args.resamples, "seed": args.bootstrap_seed,
            "confidence": args.confidence,
            "method": "percentile bootstrap over rounds (whole rounds resampled, so each "
                      "variant stays paired with the direct run of its round), nearest rank"}


def compute_figures(inst, raw, ins, rss, boot):
    """Every figure of the report: medians over the rounds or samples, and
    the within-round figures with their intervals (report.py's derive)."""
    jv, cv = inst.job_variants, inst.call_variants
    derived = rep.derive(raw, cv, boot)
    ms = lambda xs: [x * 1e-6 for x in xs]  # noqa: E731
    figures = {
        "job_wall_ms": {v: rep.stat(ms(raw["job_wall_ns"][v])) for v in jv},
        "job_cpu_ms": {v: rep.stat(ms(raw["job_cpu_ns"][v])) for v in jv},
        "job_ratio": derived["job_ratio"],
        "job_cpu_ratio": derived["job_cpu_ratio"],
        "call_wall_ms": {v: rep.stat(ms(raw["call_wall_ns"][v])) for v in cv},
        "call_mean_ms": {v: rep.stat(ms(raw["call_mean_ns"][v])) for v in cv},
        "call_cpu_ms": {v: rep.stat(ms(raw["call_cpu_ns"][v])) for v in cv},
        "call_overhead_ms": derived["call_overhead_ms"],
        "call_overhead_to_sh": derived["call_overhead_to_sh"],
        "call_overhead_to_floor": derived["call_overhead_to_floor"],
        "call_cpu_overhead_ms": {
            v: rep.stat((c - d) * 1e-6 for c, d in zip(raw["call_cpu_ns"][v],
                                                        raw["call_cpu_ns"]["direct"]))
            for v in cv[1:]},
        "call_minflt": {v: rep.stat(raw["call_minflt"][v]) for v in cv},
        "instructions": {e: {k: stat_or_none(ins.counts[e, k]) for (e2, k) in ins.counts
                             if e2 == e} for e in ins.envs},
        "instructions_largest": {},
        "rss_kb": {v: {**rep.stat(kbs), "judged_on": "largest sample"}
                   for v, kbs in rss.own.items()},
        "rss_wait4_kb": {v: rep.stat(rss.wait4[v]) for v in cv},
        "rss_floor_kb": {kind: rep.stat(vals) for kind, vals in rss.self_hwm.items()},
        "rss_mappings_kb": rss.mappings,
    }
    for name in inst.ours:
        largest = [max((x for x in ins.counts[e, k] if x is not None), default=None)
                   for e in ins.envs for k in (name, f"{name}/mavo-nm", f"{name}/mavo-ranlib")]
        if None not in largest:
            figures["instructions_largest"][name] = {
                **rep.stat(largest),
                "judged_on": "largest of mavo-ar, mavo-nm and mavo-ranlib in both environments"}
    return figures


def profile_instructions(args, inst, ins, figures):
    """Where each build's instructions go, for the text report and the JSON alike."""
    breakdown = {}
    for name in inst.ours:
        prof, empty = ins.profiles[name], ins.empty_profiles[name]
        total = figures["instructions"]["inherited"][name]["median"]
        main_ir = prof["tree"].get("main", [0, {}])[0]
        callees = sorted(prof["tree"].get("main", [0, {}])[1].items(), key=lambda kv: -kv[1][0])
        deltas = sorted(((ir - empty["self"].get(f, 0), f) for f, ir in prof["self"].items()),
                        reverse=True)
        breakdown[name] = {
            "total": total, "outside_main": total - main_ir, "main": main_ir,
            "empty_program": (figures["instructions"]["inherited"].get(f"empty/{EMPTY_OF[name]}")
                              or {}).get("median"),
            "main_calls": [[f, ir, n] for f, (ir, n) in callees[:args.top]],
            "lazy_binding": list(calls_to(prof, ("_dl_runtime_resolve",))),
            "allocation": list(calls_to(prof, ("malloc", "calloc", "realloc", "free",
                                               "__libc_malloc", "__libc_free", "__libc_calloc",
                                               "__libc_realloc"))),
            "above_empty": [[f, d, prof["objects"].get(f, "?")]
                            for d, f in deltas[:args.top] if d > 0],
            "listings": str(ins.files["inherited", name].relative_to(ROOT)),
        }
    return breakdown


def write_report(s, started, commit, phases, builds, inst, job, ins, figures, breakdown, raw,
                 boot):
    """Puts the report together, judges the targets, writes the JSON file
    and the text, and prints the text. Returns the report."""
    args = s.args
    finished = datetime.datetime.now(datetime.timezone.utc)
    report = {
        "format": rep.FORMAT,
        "commit": commit,
        "date": started.strftime("%Y-%m-%dT%H:%M:%SZ"),
        "duration_s": round((finished - started).total_seconds(), 1),
        "phases_s": phases.seconds,
        "machine": {**machine_info(), "load_before": s.load_before,
                    "load_after": os.getloadavg()},
        "tools": tool_versions(args, builds.caches, s.clang, s.plugin, s.real_tools, s.musl_cc),
        "options": {
            "quick": args.quick, "job_rounds": args.rounds, "call_rounds": args.call_rounds,
            "calls": args.calls, "callgrind_runs": args.cg_runs, "rss_samples": args.rss_samples,
            "objects": args.objects, "seed": args.seed, "bootstrap": boot, "jobs": args.jobs,
            "no_build": args.no_build, "common_cmake_options": COMMON_OPTIONS,
            "command_line": sys.argv[1:],
            "environment": {"inherited_variables": len(os.environ),
                            "inherited_bytes": sum(len(k) + len(v) + 2
                                                   for k, v in os.environ.items()),
                            "inherited_path_entries": len(os.environ.get("PATH", "").split(":")),
                            "minimal": ins.envs["minimal"]},
        },
        "variants": builds.variants_info,
        "checks": {
            "archives": f"every variant's archive has a symbol index and the direct run's nm"
                        f" listing ({len(job.objects)} objects, {job.symbols} defined symbols)",
            "cxx_runtime_loaded": inst.cxx_runtime,
        },
        "figures": figures,
        "breakdown": breakdown,
        "raw": raw,
    }
    report["targets"] = rep.judge(report)
    report["all_targets_met"] = all(t["status"] == "met" for t in report["targets"])

    name = (f"{started:%Y-%m-%d}-{commit['short']}{'-dirty' if commit['dirty'] else ''}"
            f"{'-quick' if args.quick else ''}.json")
    path = args.report or BENCH / "results" / name
    path.parent.mkdir(parents=True, exist_ok=True)
    report["file"] = path.name
    path.write_text(json.dumps(report, indent=1) + "\n")

    text = details(report, args) + [""] + rep.text(report, path)
    print("\n".join(text))
    (s.work / "report.txt").write_text("\n".join(text) + "\n")
    log(f"bench: report in {path.relative_to(ROOT) if path.is_relative_to(ROOT) else path}"
        f" (print it again with bench/report.py); text in {s.work.relative_to(ROOT)}/report.txt;"
        f" the run took {report['duration_s']:.0f} s")
    return report


def main():
    args = parse_args()
    phases = Phases()
    started = datetime.datetime.now(datetime.timezone.utc)
    commit = git_state()  # before this run writes anything
    s = find_machine_tools(args)

    builds = build_variants(s)
    phases.done("builds")
    inst = install_prefixes(s, builds)
    job_dir, objects = compile_job_objects(s)
    phases.done("helpers, installations and objects")
    job = check_every_variant_does_the_job(s, inst, job_dir, objects)
    job_rounds = measure_real_job(s, inst, job)
    phases.done("real job")
    call_rounds = measure_per_call_overhead(s, inst)
    phases.done("per call")
    ins = count_instructions(s, inst)
    phases.done("instructions")
    rss = measure_peak_rss(s, inst)
    phases.done("peak RSS")

    boot = bootstrap_options(args)
    raw = raw_rounds(inst, job_rounds, call_rounds, ins, rss)
    figures = compute_figures(inst, raw, ins, rss, boot)
    breakdown = profile_instructions(args, inst, ins, figures)
    report = write_report(s, started, commit, phases, builds, inst, job, ins, figures, breakdown,
                          raw, boot)
    return 0 if report["all_targets_met"] else 3


def details(report, args):
    """What the table leaves out: the programs' dependencies, the
    environments, the floors and where the instructions go."""
    f, o = report["figures"], report["options"]
    ins = f["instructions"]
    out = []
    p = out.append

    def n(env, key):
        s = ins[env].get(key)
        return f"{s['median']:,.0f}" if s else "n/a"

    p("Installed programs (Release)")
    for name in rep.OURS:
        info = report["variants"][name]
        if not info["measured"]:
            p(f"  {rep.TITLES[name]:<14} not measured: {info['reason']}")
            continue
        i = info["installed"]
        p(f"  {rep.TITLES[name]:<14} {i['bin']}: NEEDED {', '.join(i['needed']) or 'none'};"
          f" interpreter {i['interpreter'] or 'none'}; loads {', '.join(i['loaded']) or 'nothing'};"
          f" {i['bytes']['mavo-ar']:,} bytes"
          + (f"; C++ RUNTIME LOADED: {', '.join(i['cxx_runtime'])}" if i["cxx_runtime"] else ""))
    fl = report["variants"].get("floor", {})
    if fl.get("measured"):
        prog = fl["program"]
        p(f"  {'floor':<14} {prog['source']}, {prog['built_with']}: {fl['c_library']},"
          f" {prog['bytes']:,} bytes; {prog['does']}; {prog['runs']}")
    e = o["environment"]
    p(f"Environments of the counts: this env {e['inherited_variables']} variables,"
      f" {e['inherited_bytes']:,} bytes, PATH of {e['inherited_path_entries']} entries;"
      f" minimal env PATH={MINIMAL_PATH}, HOME, LANG")
    ours = [x for x in rep.OURS if report["variants"][x]["measured"]]
    p("Empty C program, instructions (this env / minimal env): " + "; ".join(
        f"{kind} {n('inherited', f'empty/{kind}')} / {n('minimal', f'empty/{kind}')}"
        for kind in sorted({EMPTY_OF[x] for x in ours})))
    p("mavo-nm and mavo-ranlib, instructions (this env): " + "; ".join(
        f"{rep.TITLES[x]} {n('inherited', f'{x}/mavo-nm')} and {n('inherited', f'{x}/mavo-ranlib')}"
        for x in ours))
    p("A C program that only reports its own VmHWM, kB: " + "; ".join(
        f"{kind} {s['median']:.0f} [{s['min']}-{s['max']}]" for kind, s in
        f["rss_floor_kb"].items()))
    p("Peak RSS: own VmHWM is read from /proc by the tool the wrapper started, while the"
      " wrapper waits; wait4 is the largest ru_maxrss of the tree forked from a small static"
      " launcher, from kernel counters that lag by some pages (direct: the launcher's"
      " copy-on-write pages and the do-nothing tool; sh: the shell, then the tool it becomes)")
    for name in ours:
        b = report["breakdown"][name]
        p("")
        p(f"Where mavo-ar's {b['total']:,.0f} instructions go ({rep.TITLES[name]}, this env;"
          f" listings in {b['listings']}.self.txt and .tree.txt)")
        empty = f"{b['empty_program']:,.0f}" if b["empty_program"] is not None else "n/a"
        p(f"  before and after main (loader, C library start-up and exit): "
          f"{b['outside_main']:,.0f}; the empty C program: {empty}")
        p(f"  main, inclusive: {b['main']:,}; what it calls (inclusive, calls):")
        for func, ir, calls in b["main_calls"]:
            p(f"    {ir:>9,}  {calls:>3}x  {func}")
        if b["lazy_binding"][1]:
            p(f"  lazy binding of C library functions: {b['lazy_binding'][0]:,} in"
              f" {b['lazy_binding'][1]} first calls")
        p(f"  malloc, calloc, realloc and free: {b['allocation'][0]:,} in"
          f" {b['allocation'][1]} calls")
        p("  self cost above the empty C program's, by function:")
        for func, d, obj in b["above_empty"]:
            p(f"    {d:>9,}  {func}  [{obj}]")
        p("  resident kB by mapping (median sample): "
          + ", ".join(f"{k} {v}" for k, v in f["rss_mappings_kb"][name][:8]))
    p("")
    p("Time of each part, s: " + ", ".join(f"{k} {v:.0f}" for k, v in report["phases_s"].items()))
    return out


if __name__ == "__main__":
    sys.exit(main())
