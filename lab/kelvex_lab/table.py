"""The class tables, written from the class record (classbook.py) after every
grading: class.csv (a row per student, their latest attempt), cases.csv (a
row per run of every attempt), gradebook.csv (points for a learning-
management system to import) and index.html, which links every cell to the
run's report and plot and every student to their feedback page.

gradebook.csv is in the shape of Moodle's grade import ("Import grades from
a CSV file"): one header row, a row per student, comma-separated UTF-8, the
first column `id` to be mapped to the user's ID number, a column of points
per check (each mapped to a grade item, or to "new grade item"), then
`total` and `maximum`, decimal points, nothing but numbers in the points."""

import csv
import html
import os

# A spreadsheet reads a cell that starts with one of these as a formula.
FORMULA_START = ("=", "+", "-", "@", "\t", "\r")


def safe(value):
    """A CSV cell no spreadsheet runs: text that would start a formula gets
    a leading apostrophe, which spreadsheets show as text and do not
    evaluate. Numbers stay numbers."""
    if isinstance(value, str) and value.startswith(FORMULA_START):
        return "'" + value
    return value


class Writer:
    def __init__(self, f):
        self._w = csv.writer(f)

    def row(self, cells):
        self._w.writerow([safe(c) for c in cells])


def number(x):
    """Points as a spreadsheet and a gradebook read them: 2, 1.33."""
    if x is None:
        return ""
    return int(x) if float(x).is_integer() else round(x, 2)


def latest(student):
    return student["attempts"][-1]


def check_names(sheet, book):
    """The sheet's checks, then any an earlier attempt was judged by."""
    names = [c.name for c in sheet.checks]
    for s in book.students:
        for a in s["attempts"]:
            names += [c["name"] for c in a["checks"] if c["name"] not in names]
    return names


def held(attempt, name):
    cases = attempt["cases"]
    if attempt["problem"] or not any(r["name"] == name for o in cases for r in o["checks"]):
        return ""
    n = sum(1 for o in cases for r in o["checks"] if r["name"] == name and r["passed"])
    return f"{n}/{len(cases)}"


def reasons(attempt):
    """Why the attempt lost anything: the build's problem, or each case's."""
    if attempt["problem"]:
        return attempt["problem"]
    return "; ".join(f"case {o['case']}: {o['reason']}" for o in attempt["cases"]
                     if o["reason"])


def write(out_dir, sheet, book, cases, sealed=True):
    names = check_names(sheet, book)
    # Unsealed grading is said on every row, so that no copy of the table
    # passes for a sealed one.
    seal = [] if sealed else ["not sealed"]
    with open(os.path.join(out_dir, "class.csv"), "w", newline="") as f:
        w = Writer(f)
        w.row(["student", "id", "name", "attempt", "attempts", "kind", "status",
               "cases passed", "points", "maximum", *names, "reason",
               *(["sealed"] if not sealed else [])])
        for s in book.students:
            a = latest(s)
            passed = sum(o["status"] == "passed" for o in a["cases"])
            w.row([s["key"], s["id"], s["name"], a["attempt"], len(s["attempts"]),
                   a["kind"] or "", a["status"], f"{passed}/{len(a['cases']) or len(cases)}",
                   number(a["total"]), number(a["maximum"]), *[held(a, n) for n in names],
                   reasons(a), *seal])
    vary_names = [n for n, _ in cases[0].draws] if cases else []
    with open(os.path.join(out_dir, "cases.csv"), "w", newline="") as f:
        w = Writer(f)
        w.row(["student", "id", "attempt", "case", "seed", *vary_names, "status", *names,
               "reason", "run", "report", "plot", "rerun"])
        for s in book.students:
            for a in s["attempts"]:
                for o in a["cases"]:
                    draws = dict(o["draws"])
                    by_name = {r["name"]: r for r in o["checks"]}
                    verdicts = [("PASS" if by_name[n]["passed"] else "FAIL") if n in by_name
                                else "" for n in names]
                    w.row([s["key"], s["id"], a["attempt"], o["case"], o["seed"],
                           *[draws.get(n, "") for n in vary_names], o["status"], *verdicts,
                           o["reason"], o["run"] or "", o["report"] or "", o["plot"] or "",
                           o["rerun"] or ""])
    write_gradebook(os.path.join(out_dir, "gradebook.csv"), names, book)
    with open(os.path.join(out_dir, "index.html"), "w") as f:
        f.write(page(sheet, book, cases, names, sealed))


def write_gradebook(path, names, book):
    with open(path, "w", newline="", encoding="utf-8") as f:
        w = Writer(f)
        w.row(["id", "name", *names, "total", "maximum"])
        for s in book.students:
            a = latest(s)
            w.row([s["id"], s["name"], *[number(a["points"].get(n, 0)) for n in names],
                   number(a["total"]), number(a["maximum"])])


def _link(path, text, title=""):
    if not path:
        return html.escape(text)
    return (f'<a href="{html.escape(path)}" title="{html.escape(title)}">'
            f'{html.escape(text)}</a>')


STYLE = """body{font-family:sans-serif;margin:1.5em}table{border-collapse:collapse}
td,th{border:1px solid #bbb;padding:.3em .6em;vertical-align:top}
th{background:#eee}.pass{color:#1a7f37}.fail{color:#c62828;font-weight:bold}
.why{color:#555;font-size:90%}code{font-size:85%}"""


def page(sheet, book, cases, names, sealed=True):
    e = html.escape
    head = "".join(f"<th>{e(n)}</th>" for n in names)
    case_list = "".join(f"<li>case {c.number}: {e(c.label())}</li>" for c in cases)
    rows = []
    for s in book.students:
        a = latest(s)
        who = (f"{_link(s['key'] + '/feedback.html', s['name'], 'feedback page')}"
               f"<br><span class=\"why\">{e(s['id'])}, attempt {a['attempt']}"
               f"{' of ' + str(len(s['attempts'])) if len(s['attempts']) > 1 else ''}</span>")
        score = f"{number(a['total'])} / {number(a['maximum'])}"
        if a["problem"]:
            log = os.path.join(a["folder"], "build.log")
            reason = _link(log if os.path.exists(os.path.join(book.out_dir, log)) else None,
                           a["problem"])
            rows.append(f'<tr><td>{who}</td><td class="fail">no</td><td>{e(score)}</td>'
                        f'<td colspan="{len(names) + 1}" class="why">{reason}</td></tr>')
            continue
        cells = []
        for n in names:
            marks = []
            for o in a["cases"]:
                r = next((r for r in o["checks"] if r["name"] == n), None)
                if r is None:
                    marks.append(f'<span class="why">{o["case"]}: -</span>')
                    continue
                cls, text = ("pass", "✓") if r["passed"] else ("fail", "✗")
                marks.append(f'<span class="{cls}">{o["case"]}:'
                             f'{_link(o["report"], text, r["message"])}</span>')
            cells.append("<td>" + " ".join(marks) + "</td>")
        ok = a["status"] == "passed"
        runs = []
        for o in a["cases"]:
            # A case drawn without a plot (by default one that passed) is
            # named by its report; its feedback says how to draw the plot.
            bits = [_link(o["plot"], f"plot {o['case']}") if o["plot"]
                    else _link(o["report"], f"case {o['case']}", "report.json, no plot drawn")]
            if o["status"] != "passed" or o["reason"]:
                bits.append(f'<span class="why">{e(o["status"])}'
                            f'{": " + e(o["reason"]) if o["reason"] else ""}</span>'
                            f'<br><code>{e(o["rerun"] or "")}</code>')
            runs.append(" ".join(bits))
        rows.append(f"<tr><td>{who}</td><td class=\"{'pass' if ok else 'fail'}\">"
                    f"{'yes' if ok else 'no'}</td><td>{e(score)}</td>{''.join(cells)}"
                    f"<td>{'<br>'.join(runs)}</td></tr>")
    return f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>{e(sheet.path)}: class table</title>
<style>{STYLE}</style></head><body>
<h1>{e(os.path.basename(sheet.path))}</h1>
{"" if sealed else '<p class="fail">not sealed: every build and mission ran as the grader, '
                   'able to read and change what any other could</p>'}
<ul>{case_list}</ul>
<p><a href="gradebook.csv">gradebook.csv</a> · <a href="class.csv">class.csv</a> ·
<a href="cases.csv">cases.csv</a></p>
<table><tr><th>student</th><th>all passed</th><th>points</th>{head}<th>runs</th></tr>
{chr(10).join(rows)}
</table>
<p class="why">Each mark is case number: verdict, linked to that run's report.json; each
name links to the student's feedback page, which their folder holds. A run
without a plot has none drawn (by default, a case that passed);
<code>kelvex-sim replay DIR</code> draws it. Rerun a case with its command.</p>
</body></html>
"""
