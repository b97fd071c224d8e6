"""Verdicts of a lab sheet's checks on one run folder.

The telemetry is a series of samples: a condition is known at each row and
holds over a stretch of consecutive rows where it holds at every one. A
stretch lasts from its first row's t to its last row's t, so it takes 201
rows at 20 Hz to hold for 10 s. Times are compared to the microsecond."""

import math

EPS = 1e-6


def seconds(t):
    text = f"{t:.3f}".rstrip("0").rstrip(".")
    return f"{'0' if text == '-0' else text} s"


def plural(n, word):
    return f"{n} {word}{'' if n == 1 else 's'}"


class Result:
    def __init__(self, check, passed, message, window=None, failed_at=None, value=None,
                 marks=()):
        self.check = check
        self.passed = passed
        self.message = message
        self.window = window          # (start, end) where it held, in run time
        self.failed_at = failed_at
        self.value = value            # what was seen at failed_at, as text
        self.marks = list(marks)      # times worth marking (log lines)

    def line(self):
        return f"{'PASS' if self.passed else 'FAIL'} {self.check.name}: {self.message}"

    def as_dict(self):
        c = self.check
        d = {"name": c.name, "kind": c.kind, "line": c.line, "passed": self.passed,
             "message": self.message,
             "window": list(self.window) if self.window else None,
             "failed_at": self.failed_at, "value": self.value}
        d["what"] = c.text
        for key, value in (("within", c.within), ("for", c.hold), ("after", c.after),
                           ("last", c.last)):
            if value is not None:
                d[key] = value
        if c.kind == "log":
            d["count"] = c.count
            d["marks"] = self.marks
        return d


class Samples:
    """The telemetry rows that have a time, and where the condition holds;
    whole columns are evaluated at once."""

    def __init__(self, run, condition):
        names = sorted(condition.columns | {"t"})
        cols = {n: run.telemetry.column(n) for n in names}
        keep = [i for i, t in enumerate(cols["t"]) if not math.isnan(t)]
        if len(keep) < len(cols["t"]):
            cols = {n: [c[i] for i in keep] for n, c in cols.items()}
        self.cols = cols
        self.t = cols["t"]
        self.holds = condition.holds_over(cols, len(self.t))

    def __len__(self):
        return len(self.t)

    def __iter__(self):
        return iter(range(len(self.t)))

    def row(self, i):
        return {n: c[i] for n, c in self.cols.items()}


def _samples(run, condition):
    s = Samples(run, condition)
    return s, s.holds


def _stretches(holds):
    """(first, last) index of every run of consecutive true values."""
    out = []
    start = None
    for i, h in enumerate(holds):
        if h and start is None:
            start = i
        elif not h and start is not None:
            out.append((start, i - 1))
            start = None
    if start is not None:
        out.append((start, len(holds) - 1))
    return out


def _seen(check, row):
    return check.condition.explain(row)


def evaluate_when(check, run):
    rows, holds = _samples(run, check.condition)
    if not rows:
        return Result(check, False, "no telemetry rows")
    deadline = math.inf if check.within is None else check.within
    by = "" if check.within is None else f" within {seconds(check.within)}"
    t = rows.t
    candidates = [(a, b) for a, b in _stretches(holds) if t[a] <= deadline + EPS]
    need = check.hold or 0.0
    for a, b in candidates:
        if t[b] - t[a] >= need - EPS:
            what = f"held from {seconds(t[a])} to {seconds(t[b])}"
            if check.hold is not None:
                what += f" ({seconds(check.hold)} needed)"
            return Result(check, True, what, window=(t[a], t[b]))
    if not candidates:
        late = [a for a, _ in _stretches(holds)]
        # The last row in time stands for the failure: the moment it ran out.
        i = max((k for k in range(len(t)) if t[k] <= deadline + EPS), default=0)
        if late:
            what = f"not held{by}; first held at {seconds(t[late[0]])}"
        else:
            what = f"never held{by}"
        seen = _seen(check, rows.row(i))
        return Result(check, False, f"{what}; at {seconds(t[i])}: {seen}",
                      failed_at=t[i], value=seen)
    a, b = max(candidates, key=lambda ab: (t[ab[1]] - t[ab[0]], -ab[0]))
    held = seconds(t[b] - t[a])
    if b == len(rows) - 1:
        return Result(check, False, f"held from {seconds(t[a])} until the run ended at "
                                    f"{seconds(t[b])}: {held} of {seconds(need)}",
                      window=(t[a], t[b]), failed_at=t[b], value=None)
    seen = _seen(check, rows.row(b + 1))
    return Result(check, False, f"held from {seconds(t[a])} for {held} of {seconds(need)}; "
                                f"broke at {seconds(t[b + 1])}: {seen}",
                  window=(t[a], t[b]), failed_at=t[b + 1], value=seen)


def evaluate_always(check, run):
    rows, holds = _samples(run, check.condition)
    t = rows.t
    if t and check.last is not None:
        start = t[-1] - check.last
    else:
        start = check.after if check.after is not None else -math.inf
    picked = [i for i in rows if t[i] >= start - EPS]
    if not picked:
        return Result(check, False, "no telemetry rows" if not t else
                      f"no telemetry rows after {seconds(start)}")
    for i in picked:
        if not holds[i]:
            seen = _seen(check, rows.row(i))
            return Result(check, False, f"at {seconds(t[i])}: {seen}",
                          failed_at=t[i], value=seen)
    first, last = t[picked[0]], t[picked[-1]]
    return Result(check, True, f"held from {seconds(first)} to {seconds(last)}",
                  window=(first, last))


def evaluate_log(check, run):
    matches = [(t, text) for t, text in run.log if check.pattern.search(text)]
    deadline = math.inf if check.within is None else check.within
    in_time = [m for m in matches if m[0] <= deadline + EPS]
    marks = [t for t, _ in matches]
    if len(in_time) >= check.count:
        t, text = in_time[check.count - 1]
        what = f"line at {seconds(t)}: {text}"
        if check.count > 1:
            what = f"{check.count} lines by {seconds(t)}, the last: {text}"
        return Result(check, True, what, window=(in_time[0][0], t), marks=marks)
    by = "" if check.within is None else f" within {seconds(check.within)}"
    if check.count == 1:
        what = f"no ground log line matches{by}"
    else:
        what = f"{len(in_time)} of {check.count} ground log lines match{by}"
    late = matches[len(in_time):]
    if late:
        what += f"; the next came at {seconds(late[0][0])}"
    return Result(check, False, what, failed_at=None if check.within is None else deadline,
                  marks=marks)


def evaluate_photos(check, run):
    photos = run.photo_info()
    good = [p for p in photos if p.good]
    bad = [p for p in photos if not p.good]
    if check.numbers is None:
        what = f"{plural(len(good), 'photo')} received"
        if bad:
            what += f" ({bad[0].name} {bad[0].problem}" + \
                    (f", and {len(bad) - 1} more not counted)" if len(bad) > 1 else ", not counted)")
        if len(good) >= check.expected:
            return Result(check, True, what)
        return Result(check, False, f"{what}, {check.expected} needed", value=str(len(good)))
    have = {p.number for p in good}
    missing = [n for n in check.numbers if n not in have]
    asked = ", ".join(str(n) for n in check.numbers)
    if not missing:
        return Result(check, True, f"photo{'s' if len(check.numbers) > 1 else ''} {asked} received")
    parts = []
    for n in missing:
        broken = next((p for p in bad if p.number == n), None)
        parts.append(f"photo {n} {broken.problem}" if broken else f"no photo {n}")
    others = sorted({p.number for p in photos if p.number is not None} - set(check.numbers))
    what = "; ".join(parts)
    if others:
        what += f" (received: photo{'s' if len(others) > 1 else ''} " \
                f"{', '.join(str(n) for n in others)})"
    elif not photos:
        what += " (no photo received)"
    return Result(check, False, what, value=", ".join(str(n) for n in missing))


def evaluate_exit(check, run):
    status = run.exit_status
    if status is None:
        return Result(check, False, "the mission's exit status is unknown: the run did not end")
    what = f"the mission ended with status {status}"
    if run.time_limited:
        what += ", stopped at the time limit"
    if status == check.expected:
        return Result(check, True, what)
    return Result(check, False, f"{what}, {check.expected} expected", value=str(status))


EVALUATORS = {"when": evaluate_when, "always": evaluate_always, "log": evaluate_log,
              "photos": evaluate_photos, "exit": evaluate_exit}


def evaluate(checkfile, run):
    return [EVALUATORS[c.kind](c, run) for c in checkfile.checks]
