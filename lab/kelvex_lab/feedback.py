"""A feedback page per student, in their own folder of the class folder
(KEY/feedback.html), which opens offline and links nothing outside that
folder: each case of their latest attempt with its conditions, each check
with its verdict, the window where it held or the moment it failed, a plot
around that moment with the check's thresholds and window drawn, the ground
log lines around it, and the commands that rerun and replay the case; their
earlier attempts below, each case overlaid on the latest one's.

The plots are drawn per run (draw_checks) by the grader's drawing thread,
while the class still flies, for the cases the grader draws (by default
those that did not pass); the page of a case without them says the command
that draws the run's plot. The page is written once the class is graded."""

import html
import math
import os

from . import runfolder
from .evaluate import seconds

FOLDER = "feedback"
PAGE = "feedback.html"
# Seconds of telemetry shown on either side of the moment a check failed.
AROUND = 5.0
LOG_AROUND = 3.0
LOG_LINES = 12


def _plt():
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    return plt


def moment(result):
    """The time a student should look at: where it failed, else where the
    held window began; None for checks without a time."""
    if result.failed_at is not None:
        return result.failed_at
    if result.window:
        return result.window[0]
    return None


def span(result, end_t):
    """The stretch of the run a check's plot shows."""
    c = result.check
    if result.failed_at is not None:
        lo = (result.window[0] - 1.0) if result.window else result.failed_at - AROUND
        lo = max(lo, result.failed_at - 4 * AROUND)
        hi = result.failed_at + AROUND
    elif result.window:
        lo, hi = result.window[0] - 2.0, result.window[1] + 2.0
    else:
        lo, hi = 0.0, end_t
    if c.within is not None:
        hi = max(hi, min(c.within + 1.0, end_t))
    return max(lo, 0.0), hi if end_t is None else min(hi, end_t)


def draw_check(run, result, path):
    """A plot of one when/always check: the quantities it compares, its
    thresholds (dashed), the window where it held (green), the moment it
    failed (red) and its deadline (grey). Returns the path or None."""
    cond = result.check.condition
    if cond is None or "t" not in run.telemetry.header:
        return None
    quantities, limits = cond.drawn()
    names = sorted(cond.columns | {"t"})
    cols = {n: run.telemetry.column(n) for n in names}
    t = cols["t"]
    if not t:
        return None
    lo, hi = span(result, t[-1])
    keep = [i for i, x in enumerate(t) if not math.isnan(x) and lo <= x <= hi]
    if not keep:
        return None
    part = {n: [c[i] for i in keep] for n, c in cols.items()}
    plt = _plt()
    fig, ax = plt.subplots(figsize=(7, 2.6))
    x = part["t"]
    for text, node in quantities:
        ax.plot(x, node.series(part, len(x)), label=text, linewidth=1.4)
    for v in limits:
        ax.axhline(v, color="tab:red", linestyle="--", linewidth=1, alpha=0.8)
        ax.annotate(f"{v:g}", (1.0, v), xycoords=("axes fraction", "data"), fontsize=7,
                    color="tab:red", va="bottom", ha="right")
    if result.window:
        ax.axvspan(result.window[0], result.window[1], color="tab:green", alpha=0.15,
                   label="held")
    if result.failed_at is not None:
        ax.axvline(result.failed_at, color="tab:red", linewidth=1.5, label="failed")
    c = result.check
    if c.within is not None and lo <= c.within <= hi:
        ax.axvline(c.within, color="0.4", linestyle=":", linewidth=1.2, label="deadline")
    start = c.after if c.after is not None else (t[-1] - c.last if c.last is not None else None)
    if start is not None and lo <= start <= hi:
        ax.axvline(start, color="0.4", linestyle="-.", linewidth=1, label="judged from")
    ax.set_xlim(lo, hi)
    ax.set_xlabel("time (s)", fontsize=8)
    ax.tick_params(labelsize=7)
    ax.grid(True, alpha=0.3)
    ax.legend(fontsize=7, loc="best")
    ax.set_title(f"{c.kind}: {c.text}", fontsize=9)
    fig.tight_layout()
    fig.savefig(path, dpi=80)
    plt.close(fig)
    return path


def draw_checks(run_dir, results, run=None):
    """Every when/always check's plot into RUN/feedback/; {check index: path}.
    run: the folder already read (the grader judged it), not read again."""
    if run is None:
        try:
            run = runfolder.Run(run_dir)
        except runfolder.RunFolderError:
            return {}
    folder = os.path.join(run_dir, FOLDER)
    os.makedirs(folder, exist_ok=True)
    out = {}
    for r in results:
        try:
            p = draw_check(run, r, os.path.join(folder, f"check-{r.check.index}.png"))
        except Exception:  # a plot must never cost the verdicts
            p = None
        if p:
            out[r.check.index] = p
    return out


def log_around(run_dir, t, lines=None):
    """(what, [(time, text, is_nearest)]) of the ground log lines around t;
    without a t, the run's last lines (how it ended). With none near t, the
    last ones before it: what the mission said before it went quiet.
    lines: the run's log already read (log_lines)."""
    if lines is None:
        lines = log_lines(run_dir)
    if not lines:
        return "", []
    if t is None:
        return "its last lines", [(a, b, False) for a, b in lines[-LOG_LINES // 2:]]
    what = f"around {seconds(t)}"
    near = [(a, b) for a, b in lines if abs(a - t) <= LOG_AROUND]
    near.sort(key=lambda ab: abs(ab[0] - t))
    near = sorted(near[:LOG_LINES])
    if not near:
        what = f"the last lines before {seconds(t)}"
        near = [(a, b) for a, b in lines if a <= t][-LOG_LINES // 2:]
    if not near:
        return "", []
    nearest = min(near, key=lambda ab: abs(ab[0] - t))
    return what, [(a, b, (a, b) == nearest) for a, b in near]


def log_lines(run_dir):
    """The run's ground log lines, [] without a readable run."""
    try:
        return runfolder.Run(run_dir).log
    except runfolder.RunFolderError:
        return []


STYLE = """body{font-family:sans-serif;margin:1.5em;max-width:62em;color:#222}
h1{font-size:1.4em}h2{font-size:1.15em;margin-top:1.6em;border-bottom:1px solid #ccc}
.pass{color:#1a7f37}.fail{color:#c62828}.verdict{font-weight:bold}
.check{border:1px solid #ddd;border-radius:4px;padding:.5em .8em;margin:.6em 0}
.check.failed{border-color:#e0a0a0;background:#fff8f8}
.why{color:#555;font-size:90%}pre{background:#f4f4f4;padding:.4em;overflow-x:auto;font-size:85%}
pre{white-space:pre-wrap;word-break:break-all}pre .near{background:#ffe9a8}img{max-width:100%;border:1px solid #ddd}
table{border-collapse:collapse}td,th{border:1px solid #ccc;padding:.2em .5em}"""


def _case_checks(out_dir, key, case, results_by_name, attempt):
    e = html.escape
    parts = []
    run_abs = os.path.join(out_dir, case["run"]) if case["run"] else None
    log = None                    # read once, for the first check that shows it
    for r in case["checks"]:
        ok = r["passed"]
        cls = "check" if ok else "check failed"
        where = ""
        if r.get("window") and r["kind"] != "log":
            a, b = r["window"]
            where = f"held from {seconds(a)} to {seconds(b)}"
        if r.get("failed_at") is not None:
            where += ("; " if where else "") + f"failed at {seconds(r['failed_at'])}"
        body = [f'<div class="{cls}"><span class="verdict {"pass" if ok else "fail"}">'
                f'{"PASS" if ok else "FAIL"}</span> {e(r["name"])}: {e(r["message"])}']
        if where:
            body.append(f'<div class="why">{e(where)}</div>')
        index = results_by_name.get(r["name"])
        if run_abs and index is not None:
            png = os.path.join(run_abs, FOLDER, f"check-{index}.png")
            if os.path.exists(png):
                body.append(f'<img src="{e(os.path.relpath(png, os.path.join(out_dir, key)))}" '
                            f'alt="{e(r["name"])} around the moment it was decided">')
        t = r.get("failed_at")
        if t is None and r.get("window"):
            t = r["window"][0]
        if run_abs and (not ok or r["kind"] == "log"):
            log = log_lines(run_abs) if log is None else log
            around, lines = log_around(run_abs, t, log)
            if lines:
                rows = "\n".join(
                    (f'<span class="near">' if near else "<span>") +
                    f"{e(seconds(a)):>9}  {e(text)}</span>" for a, text, near in lines)
                body.append(f'<div class="why">ground log, {e(around)}:</div><pre>{rows}</pre>')
        body.append("</div>")
        parts.append("".join(body))
    return "\n".join(parts)


def _earlier_case(student, attempt, number):
    for a in reversed(student["attempts"]):
        if a["attempt"] < attempt["attempt"]:
            for c in a["cases"]:
                if c["case"] == number and c["run"]:
                    return a, c
    return None, None


def page(out_dir, student, draw_compare=True, reference=None, programs=None):
    """reference: {case number: run folder} of the instructor's reference
    mission, flown under the same conditions, to overlay on each case."""
    e = html.escape
    key = student["key"]
    here = os.path.join(out_dir, key)
    a = student["attempts"][-1]
    head = (f"<h1>{e(student['name'])}</h1><p>{e(student['id'])} · lab sheet "
            f"<code>{e(os.path.basename(a['sheet']))}</code> · attempt {a['attempt']} "
            f"(graded {e(a['graded'])}) · <b>{e(_num(a['total']))} of {e(_num(a['maximum']))} "
            f"points</b> · <span class=\"{'pass' if a['status'] == 'passed' else 'fail'}\">"
            f"{e(a['status'])}</span></p>")
    points = "".join(f"<tr><td>{e(c['name'])}</td><td>{e(_num(a['points'].get(c['name'], 0)))}"
                     f" of {e(_num(c['points']))}</td></tr>" for c in a["checks"])
    body = [head, f"<table><tr><th>check</th><th>points</th></tr>{points}</table>"]
    if a["problem"]:
        log = os.path.join(a["folder"], "build.log")
        link = (f' (<a href="{e(os.path.relpath(os.path.join(out_dir, log), here))}">'
                f'build.log</a>)' if os.path.exists(os.path.join(out_dir, log)) else "")
        body.append(f'<h2 class="fail">{e(a["status"])}</h2><p>{e(a["problem"])}{link}</p>')
    index_of = {c["name"]: i + 1 for i, c in enumerate(a["checks"])}
    for case in a["cases"]:
        rel = (lambda p: os.path.relpath(os.path.join(out_dir, p), here)) if case["run"] else None
        body.append(f"<h2>Case {case['case']}: <span class=\"{'pass' if case['status'] == 'passed' else 'fail'}\">"
                    f"{e(case['status'])}</span></h2>")
        body.append(f"<p class=\"why\">starting conditions: {e(case['label'])}"
                    + (f"<br>{e(case['reason'])}" if case["reason"] else "") + "</p>")
        body.append(_case_checks(out_dir, key, case, index_of, a))
        if case["plot"]:
            body.append(f'<p><a href="{e(rel(case["plot"]))}">the whole run\'s plot</a>'
                        f' · <a href="{e(rel(case["report"]))}">report.json</a></p>')
        before, old = _earlier_case(student, a, case["case"])
        runs, labels = [], []
        if reference and reference.get(case["case"]):
            runs.append(reference[case["case"]])
            labels.append("reference")
        if old:
            runs.append(os.path.join(out_dir, old["run"]))
            labels.append(f"attempt {before['attempt']}")
        # Overlaid only on a case whose own plots were drawn.
        if runs and case["run"] and case["plot"] and draw_compare:
            runs.append(os.path.join(out_dir, case["run"]))
            labels.append(f"attempt {a['attempt']}")
            png = os.path.join(out_dir, case["run"], FOLDER, "compare.png")
            if compare(runs, labels, png, programs):
                body.append(f"<p>This case compared: {e(', '.join(labels[:-1]))} and this "
                            f"attempt:</p>"
                            f'<img src="{e(os.path.relpath(png, here))}" alt="runs compared">')
        if case["rerun"]:
            body.append("<p>Fly it again under the same conditions:</p>"
                        f"<pre>{e(case['rerun'])}</pre>")
        if case["run"] and not case["plot"] and case["report"]:
            body.append(f"<p>No plot of this run was drawn. This draws it with its checks "
                        f"into the run folder's next <code>replay-N</code>, judging it again "
                        f"without flying it, from this folder:</p>"
                        f"<pre>kelvex-sim replay {e(rel(case['run']))}</pre>")
        elif case["rerun"]:
            body.append(f"<p>Judge this run again without flying it, from this folder:</p>"
                        f"<pre>kelvex-sim replay {e(rel(case['run']))}</pre>")
    if len(student["attempts"]) > 1:
        rows = []
        for old in reversed(student["attempts"][:-1]):
            why = old["problem"] or "; ".join(f"case {c['case']}: {c['reason']}"
                                              for c in old["cases"] if c["reason"])
            rows.append(f"<tr><td>{old['attempt']}</td><td>{e(old['graded'])}</td>"
                        f"<td>{e(old['status'])}</td><td>{e(_num(old['total']))} of "
                        f"{e(_num(old['maximum']))}</td><td class=\"why\">{e(why)}</td></tr>")
        body.append("<h2>Earlier attempts</h2><table><tr><th>attempt</th><th>graded</th>"
                    "<th>status</th><th>points</th><th>why</th></tr>" + "".join(rows)
                    + "</table>")
    return (f'<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">'
            f"<title>{e(student['name'])}: feedback</title><style>{STYLE}</style></head>"
            f"<body>\n" + "\n".join(body) + "\n</body></html>\n")


def _num(x):
    return str(int(x)) if float(x).is_integer() else f"{x:.2f}"


def compare(run_dirs, labels, out, programs=None):
    """kelvex-plot's overlay of several runs, drawn in this process with the
    kelvex-plot programs (simulator.Programs) find."""
    from . import plot
    path, _ = plot.compare(run_dirs, labels, out, programs)
    return path


def write_student(out_dir, student, reference=None, programs=None):
    path = os.path.join(out_dir, student["key"], PAGE)
    tmp = f"{path}.tmp{os.getpid()}"
    with open(tmp, "w") as f:
        f.write(page(out_dir, student, reference=reference, programs=programs))
    os.replace(tmp, path)
    return path
