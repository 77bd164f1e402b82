"""The benchmarks' reports: number formats, the machine, and run.py's Markdown report."""

from __future__ import annotations

import os
import platform
import shlex
import statistics
import sys
from pathlib import Path

from harness import BENCH_DIR, IMPLS
from shapes import Shape

import norvix_datafeed


def fmt_ms(ms: float) -> str:
    if ms >= 100:
        return f"{ms:.0f}"
    if ms >= 10:
        return f"{ms:.1f}"
    return f"{ms:.2f}"


def fmt_mb(mb: float | None) -> str:
    if mb is None:
        return "n/a"
    return f"{mb:.1f}" if mb >= 10 else f"{mb:.2f}"


def module_origin() -> str:
    path = Path(norvix_datafeed.__file__).resolve()
    root = BENCH_DIR.parent
    return str(path.relative_to(root)) if path.is_relative_to(root) else str(path)


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def version_of(name: str) -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version(name)
    except PackageNotFoundError:
        return "unknown"


def mb(memory: dict | None, impl: str, shape: Shape, key: str) -> float | None:
    value = (memory or {}).get((impl, shape.key), {}).get(key)
    if value is None:
        return None
    return value / 2**20 if key.endswith("_bytes") else value


def verdict(worst: float, limit: float) -> str:
    return f"worst {worst:.2f}, {'met' if worst <= limit else 'NOT met'}"


def report(shapes: list[Shape], samples: dict, memory: dict | None, rounds: int, loads: list[float]) -> str:
    med = {k: statistics.median(v) for k, v in samples.items()}
    command = os.environ.get("NORVIX_BENCH_COMMAND") or shlex.join(["python", *sys.argv])
    out = [
        f"Machine: {platform.platform()}; CPU: {cpu_model()} ({os.cpu_count()} logical CPUs); "
        f"Python {platform.python_version()}; vnpy {version_of('vnpy')}; requests {version_of('requests')}; "
        f"loguru {version_of('loguru')}",
        f"Command: `{command}`",
        f"Rounds: {rounds}, medians reported; 1-minute load average before/after the timed rounds: "
        f"{loads[0]:.2f}/{loads[1]:.2f}; native module: {module_origin()}",
        "",
        "a = norvix_datafeed (native), b = python_form/norvix_py.py (pure Python), c = floor (requests.post + "
        "response.json() + vn.py records from values converted beforehand). Times in ms; E2E = the query over "
        "loopback HTTP, Conv = everything after response.json(); Peak = tracemalloc peak of one end-to-end "
        "call, MB.",
        "",
        "| Shape | Body MB | E2E a | E2E b | E2E c | a/c | b/c | Conv a | Conv b | Conv c | Conv a/c "
        "| Peak a | Peak b | Peak c |",
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for s in shapes:
        e = {i: med[("e2e", i, s.key)] for i in IMPLS}
        c = {i: med[("conv", i, s.key)] for i in IMPLS}
        peaks = " | ".join(fmt_mb(mb(memory, i, s, "e2e_bytes")) for i in IMPLS)
        out.append(
            f"| {s.title} | {len(s.raw) / 1e6:.2f} | {fmt_ms(e['a'])} | {fmt_ms(e['b'])} | {fmt_ms(e['c'])} "
            f"| {e['a'] / e['c']:.2f} | {e['b'] / e['c']:.2f} | {fmt_ms(c['a'])} | {fmt_ms(c['b'])} "
            f"| {fmt_ms(c['c'])} | {c['a'] / c['c']:.2f} | {peaks} |"
        )
    out += [
        "",
        "Spread over the rounds, min–max ms:",
        "",
        "| Shape | E2E a | E2E b | E2E c | Conv a | Conv b | Conv c |",
        "|---|---:|---:|---:|---:|---:|---:|",
    ]
    for s in shapes:
        cells = [
            f"{fmt_ms(min(v))}–{fmt_ms(max(v))}"
            for phase in ("e2e", "conv")
            for v in (samples[(phase, i, s.key)] for i in IMPLS)
        ]
        out.append(f"| {s.title} | " + " | ".join(cells) + " |")
    if memory:
        out += [
            "",
            "Memory, MB: tracemalloc peak of the conversion alone (on top of the decoded body), and growth of "
            "the peak RSS over one end-to-end call:",
            "",
            "| Shape | Conv peak a | Conv peak b | Conv peak c | RSS a | RSS b | RSS c |",
            "|---|---:|---:|---:|---:|---:|---:|",
        ]
        for s in shapes:
            cells = [fmt_mb(mb(memory, i, s, "conv_bytes")) for i in IMPLS]
            cells += [fmt_mb(mb(memory, i, s, "rss_mb")) for i in IMPLS]
            out.append(f"| {s.title} | " + " | ".join(cells) + " |")

    conv = [s for s in shapes if s.targets_conversion]
    out += [
        "",
        "Targets:",
        f"- conversion a/c ≤ 1.10 ({', '.join(s.title for s in conv)}): "
        + verdict(max(med[("conv", "a", s.key)] / med[("conv", "c", s.key)] for s in conv), 1.10),
        "- end to end a/c ≤ 1.10 (every shape): "
        + verdict(max(med[("e2e", "a", s.key)] / med[("e2e", "c", s.key)] for s in shapes), 1.10),
    ]
    if memory:
        diffs = [
            f"{s.title} {memory[('a', s.key)]['e2e_bytes'] - memory[('b', s.key)]['e2e_bytes']:+,} B"
            for s in shapes
        ]
        met = all(memory[("a", s.key)]["e2e_bytes"] <= memory[("b", s.key)]["e2e_bytes"] for s in shapes)
        out.append(f"- peak memory a ≤ b (every shape): {'met' if met else 'NOT met'}; a − b: {', '.join(diffs)}")
    else:
        out.append("- peak memory a ≤ b: not measured (--skip-memory)")
    return "\n".join(out) + "\n"
