"""The class table: class.csv (a row per student), cases.csv (a row per run)
and index.html, which links every cell to the run's report and plot."""

import csv
import html
import os


def _rel(out_dir, path):
    return os.path.relpath(path, out_dir) if path else ""


def _verdicts(o, names):
    by_name = {r.check.name: r for r in o.results}
    return [("PASS" if by_name[n].passed else "FAIL") if n in by_name else "" for n in names]


# A spreadsheet takes a cell that starts with one of these for a formula.
_FORMULA = ("=", "+", "-", "@", "\t", "\r")


def _text(value):
    """A text cell as a spreadsheet shows it, never as a formula it runs."""
    value = str(value)
    return "'" + value if value.startswith(_FORMULA) else value


def write(out_dir, sheet, subs, cases, by_sub, sealed=True):
    names = [c.name for c in sheet.checks]
    seal = [] if sealed else ["not sealed"]
    vary_names = [n for n, _ in cases[0].draws] if cases else []
    with open(os.path.join(out_dir, "class.csv"), "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(["student", "kind", "status", "cases passed", *names, "reason",
                    *(["sealed"] if not sealed else [])])
        for s in subs:
            rows = by_sub[s.name]
            if s.problem:
                w.writerow([_text(s.name), s.kind or "", "does not run" if s.kind != "c" else
                            "does not build", f"0/{len(cases)}", *[""] * len(names),
                            _text(s.problem), *seal])
                continue
            passed = sum(o.status == "passed" for o in rows)
            per_check = []
            for n in names:
                held = sum(1 for o in rows for r in o.results if r.check.name == n and r.passed)
                per_check.append(f"{held}/{len(rows)}")
            reasons = sorted({o.reason for o in rows if o.reason})
            w.writerow([_text(s.name), s.kind, "passed" if passed == len(rows) else "failed",
                        f"{passed}/{len(rows)}", *per_check, _text("; ".join(reasons)), *seal])
    with open(os.path.join(out_dir, "cases.csv"), "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(["student", "case", "seed", *vary_names, "status", *names, "reason",
                    "run", "report", "plot", "rerun", *(["sealed"] if not sealed else [])])
        for s in subs:
            for o in by_sub[s.name]:
                w.writerow([_text(s.name), o.case.number, o.case.seed,
                            *[v for _, v in o.case.draws], o.status, *_verdicts(o, names),
                            _text(o.reason), _text(_rel(out_dir, o.run_dir)),
                            _text(_rel(out_dir, o.report)), _text(_rel(out_dir, o.plot)),
                            o.rerun, *seal])
    with open(os.path.join(out_dir, "index.html"), "w") as f:
        f.write(page(out_dir, sheet, subs, cases, by_sub, sealed))


def _link(out_dir, path, text, title=""):
    if not path:
        return html.escape(text)
    return (f'<a href="{html.escape(_rel(out_dir, path))}" title="{html.escape(title)}">'
            f'{html.escape(text)}</a>')


STYLE = """body{font-family:sans-serif;margin:1.5em}table{border-collapse:collapse}
td,th{border:1px solid #bbb;padding:.3em .6em;vertical-align:top}
th{background:#eee}.pass{color:#1a7f37}.fail{color:#c62828;font-weight:bold}
.why{color:#555;font-size:90%}code{font-size:85%}"""


def page(out_dir, sheet, subs, cases, by_sub, sealed=True):
    e = html.escape
    names = [c.name for c in sheet.checks]
    head = "".join(f"<th>{e(n)}</th>" for n in names)
    case_list = "".join(f"<li>case {c.number}: {e(c.label())}</li>" for c in cases)
    rows = []
    for s in subs:
        outcomes = by_sub[s.name]
        if s.problem:
            build_log = os.path.join(out_dir, s.name, "build.log")
            reason = _link(out_dir, build_log if os.path.exists(build_log) else None, s.problem)
            rows.append(f'<tr><td>{e(s.name)}</td><td class="fail">no</td>'
                        f'<td colspan="{len(names) + 1}" class="why">{reason}</td></tr>')
            continue
        cells = []
        for n in names:
            marks = []
            for o in outcomes:
                r = next((r for r in o.results if r.check.name == n), None)
                if r is None:
                    marks.append(f'<span class="why">{o.case.number}: -</span>')
                    continue
                cls, text = ("pass", "✓") if r.passed else ("fail", "✗")
                marks.append(f'<span class="{cls}">{o.case.number}:'
                             f'{_link(out_dir, o.report, text, r.message)}</span>')
            cells.append("<td>" + " ".join(marks) + "</td>")
        ok = outcomes and all(o.status == "passed" for o in outcomes)
        runs = []
        for o in outcomes:
            bits = [_link(out_dir, o.plot, f"plot {o.case.number}")]
            if o.status != "passed":
                bits.append(f'<span class="why">{e(o.status)}{": " + e(o.reason) if o.reason else ""}'
                            f'</span><br><code>{e(o.rerun or "")}</code>')
            runs.append(" ".join(bits))
        rows.append(f"<tr><td>{e(s.name)}</td><td class=\"{'pass' if ok else 'fail'}\">"
                    f"{'yes' if ok else 'no'}</td>{''.join(cells)}<td>{'<br>'.join(runs)}</td></tr>")
    return f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>{e(sheet.path)}: class table</title>
<style>{STYLE}</style></head><body>
<h1>{e(os.path.basename(sheet.path))}</h1>
{"" if sealed else '<p class="fail">not sealed: every build and mission ran as the grader, '
                   'able to read and change what any other could</p>'}
<ul>{case_list}</ul>
<table><tr><th>student</th><th>all passed</th>{head}<th>runs</th></tr>
{chr(10).join(rows)}
</table>
<p class="why">Each mark is case number: verdict, linked to that run's report.json.
Rerun a case with its command; replay its folder with <code>kelvex-sim replay DIR</code>.</p>
</body></html>
"""
