"""bench/cc: the link on a capped, changing path, through the relay's bottleneck and through a
kernel token bucket, against the congestion goals.

    bash bench/cc.sh [--short] [--cases steady,steps,nocap,loss2,flows3,tcp] [--paths relay,kernel]
    .venv/bin/python bench/cc.py ...        (with matplotlib in .venv; cc.sh installs it)

The `send` command (1280x720 30 fps test pattern asking 2,000 kbit/s) streams to a receiver
(what `receive --json` does, each picture judged exactly against the sent stream) through each
path of talmiro-media/testing/cc_net.py (50 ms one-way delay both ways,
300 ms drop-tail queue): the relay on loopback, and the kernel path (a veth pair between two
network namespaces, `tbf` on the sender's side; root only, skipped otherwise). The cases:

- steady: 1,000 kbit/s for 30 s (15 with --short);
- steps: 1.0 -> 2.5 -> 0.6 -> 1.0 Mbit/s at 0/40/60/80 s, 100 s (10 s steps with --short);
- nocap: no cap, 20 s (10); loss2: no cap, 2 % random loss after the link, 20 s (10);
- flows3 (kernel path only): three of our flows on 3.5 Mbit/s starting at 0, 20 and 40 s,
  120 s (0/10/20, 40 s), Jain's fairness index of their goodput;
- tcp (kernel path only): a bulk TCP flow beside ours on 2 Mbit/s, 120 s (30), each one's
  share of the capacity.

When the sender has congestion control (`send --no-cc` exists), every case runs with it and
without (`--modes` chooses); else as the sender is. Per run: pictures shown, wrong (and those
not flagged), capture->picture p50/p99, packets resent, drops at the bottleneck, queueing
delay p95, per step the utilisation (goodput over capacity) and the sending rate over capacity
from 5 s after the step began, the target's mean. A PNG per run in bench/out/cc (capacity,
target, sending rate and goodput over time; queueing delay below), the raw figures in
bench/out/cc/runs.json, the table in bench/RESULTS.md between its own markers.
"""
from __future__ import annotations

import argparse
import json
import os
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(ROOT / "talmiro-media" / "testing"))
from bench_common import write_section  # noqa: E402
from cc_net import Case, has_congestion_control, kernel_unavailable, run_case  # noqa: E402

BEGIN, END = "<!-- bench/cc.py: begin -->", "<!-- bench/cc.py: end -->"


def cases(short: bool) -> dict[str, Case]:
    step = 10 if short else 20
    first = 10 if short else 40
    return {
        "steady": Case("steady", [(0, 1000.0)], 15 if short else 30),
        "steps": Case("steps", [(0, 1000.0), (first, 2500.0), (first + step, 600.0),
                                (first + 2 * step, 1000.0)], first + 3 * step),
        "nocap": Case("nocap", [(0, None)], 10 if short else 20),
        "loss2": Case("loss2", [(0, None)], 10 if short else 20, loss=0.02),
        "flows3": Case("flows3", [(0, 3500.0)], 40 if short else 120,
                       flows=(0.0, 10.0, 20.0) if short else (0.0, 20.0, 40.0)),
        "tcp": Case("tcp", [(0, 2000.0)], 30 if short else 120, tcp=True),
    }


# The cases only the kernel path has: one bottleneck for several flows, and TCP beside ours.
KERNEL_ONLY = ("flows3", "tcp")


def describe(case: Case) -> str:
    caps = " -> ".join("no cap" if k is None else f"{k:g}" for _, k in case.schedule)
    at = "/".join(f"{a:g}" for a, _ in case.schedule)
    loss = f", {case.loss:.0%} loss" if case.loss else ""
    if len(case.flows) > 1:
        loss += ", our flows starting at " + "/".join(f"{a:g}" for a in case.flows) + " s"
    if case.tcp:
        loss += ", a bulk TCP flow beside ours"
    steps = f" kbit/s at {at} s" if len(case.schedule) > 1 else (
        " kbit/s" if case.schedule[0][1] else "")
    return f"{caps}{steps}, {case.seconds:g} s{loss}"


def plot(run: dict, case: Case, path: Path) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    s = run["series"]
    fig, (top, bottom) = plt.subplots(2, 1, figsize=(9, 6), sharex=True,
                                      gridspec_kw={"height_ratios": [2, 1]})
    cap = [c if c is not None else float("nan") for c in s["capacity_kbps"]]
    top.step(s["t"], cap, where="post", color="black", label="capacity")
    top.plot(s["t"], s["sending_kbps"], label="sending rate")
    top.plot(s["t"], s["goodput_kbps"], label="goodput (out of the bottleneck)")
    if any(v is not None for v in s["target_kbps"]):
        target = [v if v is not None else float("nan") for v in s["target_kbps"]]
        top.step(s["t"], target, where="post", label="target")
    for k, flow in enumerate(run.get("flows") or []):
        if len(run["flows"]) > 1:
            top.plot(s["t"], flow["goodput_kbps"], lw=0.8, ls="--", label=f"flow {k + 1}")
    if run.get("tcp_kbps") is not None:
        top.plot(s["t"], run["tcp_kbps"], lw=0.8, ls="--", label="TCP")
    top.set_ylabel("kbit/s")
    top.set_ylim(0, max(3000, min(6000, max(s["sending_kbps"] + [0]) * 1.1)))
    top.legend(loc="upper right", fontsize=8)
    mode = "congestion control" if run["cc"] else "fixed rate"
    top.set_title(f"{case.name} ({describe(case)}), {run['path']} path, {mode}")
    bottom.plot(s["t"], s["queue_ms"], label="mean")
    bottom.plot(s["t"], s["queue_max_ms"], label="max", alpha=0.6)
    bottom.set_ylabel("queueing delay, ms")
    bottom.set_xlabel("seconds")
    bottom.legend(loc="upper right", fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)


def _cell(v, fmt: str = "{}") -> str:
    return "–" if v is None else fmt.format(v)


def row(run: dict) -> str:
    f = run["figures"]
    steps = ", ".join(f"{st['utilisation']:.0%}" for st in f["steps"]) or "–"
    share = ", ".join(f"{st['sending_share']:.0%}" for st in f["steps"]) or "–"
    wrong = f"{_cell(f['wrong'])} ({_cell(f['wrong_unflagged'])})"
    return (f"| {run['case']} | {run['path']} | {'cc' if run['cc'] else 'fixed'} | "
            f"{f['pictures']} of {f['frames']} ({f['shown']:.0%}) | {wrong} | "
            f"{_cell(f['p50_ms'])} / {_cell(f['p99_ms'])} | {_cell(f['resent'])} | "
            f"{f['drops']} | {_cell(f['queue_p95_ms'], '{:.0f}')} | "
            f"{_cell(f['queue_max_1s_after_drop_ms'], '{:.0f}')} | {steps} | {share} | "
            f"{_cell(f['target_kbps_mean'], '{:.0f}')} | {shares(f)} |")


def shares(f: dict) -> str:
    out = []
    if "fairness" in f:
        out.append("Jain " + ", ".join(f"{j:.2f}" for j in f["fairness"]))
    if "ours_share" in f:
        out.append(f"ours {f['ours_share']:.0%}, TCP {f['tcp_share']:.0%} of capacity")
    return "; ".join(out) or "–"


def section(runs: list[dict], chosen: dict[str, Case], command: str, skipped: list[str]) -> str:
    head = [BEGIN, "", "## Congestion: the link on a capped, changing path (bench/cc.py)", "",
            "- `send --size 1280x720 --bitrate-kbps 2000` (the test pattern comes out at about "
            "1.7 Mbit/s) to a receiver; a picture is wrong when it differs from the same picture "
            "decoded from the sent stream; 50 ms one-way delay both ways, 300 ms drop-tail queue; "
            "relay: the package's relay's bottleneck on loopback; kernel: `tbf` on a veth pair "
            "between two network namespaces, the relay adding the delay (and loss) behind it",
            *[f"- {name}: {describe(case)}" for name, case in chosen.items()],
            f"- Load average before: {' '.join(f'{v:.2f}' for v in os.getloadavg())}; "
            f"command: `{command}`",
            *[f"- skipped: {why}" for why in skipped], "",
            "| case | path | sender | pictures shown | wrong (not flagged) | capture→picture "
            "p50 / p99 ms | packets resent | dropped at the bottleneck | queueing delay p95 ms "
            "| queueing max 1–2 s after the drop, ms | utilisation per step (from 5 s in) | "
            "sending rate / capacity per step | target mean kbit/s | shares |",
            "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"]
    notes = ["", "Utilisation is goodput (what left the bottleneck) over capacity; with several "
             "flows the pictures and counts are added up and the latencies are the worst "
             "flow's; Jain's index is taken from 10 s after each flow's start to the next "
             "start; the shares from 5 s on. TCP runs without the relay's delay (no netem "
             "here): its round trip is the queue's. The plots are in "
             "bench/out/cc/CASE_PATH_SENDER.png.", "", END]
    return "\n".join(head + [row(r) for r in runs] + notes) + "\n"


def modes(choice: str) -> list[bool | None]:
    """The sender's modes to run: congestion control on and off where it exists."""
    if not has_congestion_control():
        return [None]
    return {"both": [False, True], "cc": [True], "fixed": [False]}[choice]


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--short", action="store_true", help="shorter cases (10 s steps)")
    ap.add_argument("--cases", default="steady,steps,nocap,loss2,flows3,tcp")
    ap.add_argument("--paths", default="relay,kernel")
    ap.add_argument("--modes", choices=("both", "cc", "fixed"), default="both",
                    help="with congestion control, without, or both (where it exists)")
    ap.add_argument("--out", type=Path, default=ROOT / "bench" / "out" / "cc")
    ap.add_argument("--no-write", action="store_true", help="leave bench/RESULTS.md alone")
    a = ap.parse_args()
    chosen = {n: c for n, c in cases(a.short).items() if n in a.cases.split(",")}
    paths, skipped = a.paths.split(","), []
    why = kernel_unavailable() if "kernel" in paths else None
    if why:
        paths.remove("kernel")
        skipped.append(f"kernel path: {why}")
        print(f"cc: skipping the kernel path: {why}", file=sys.stderr)
    a.out.mkdir(parents=True, exist_ok=True)
    runs = []
    for name, case in chosen.items():
        for path in paths:
            if path == "relay" and name in KERNEL_ONLY:
                continue
            for cc in modes(a.modes):
                t = time.monotonic()
                run = run_case(case, path, cc)
                label = f"{name}_{path}_{'cc' if run['cc'] else 'fixed'}"
                plot(run, case, a.out / f"{label}.png")
                runs.append(run)
                print(f"cc: {label} ({time.monotonic() - t:.0f} s): {json.dumps(run['figures'])}",
                      file=sys.stderr)
                print(row(run), flush=True)
    (a.out / "runs.json").write_text(json.dumps(runs, indent=1))
    command = "bash bench/cc.sh " + " ".join(sys.argv[1:])
    if not a.no_write:
        write_section(ROOT / "bench" / "RESULTS.md", section(runs, chosen, command.strip(),
                                                             skipped), BEGIN, END)


if __name__ == "__main__":
    main()
