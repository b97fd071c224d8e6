"""The class folder's record of every grading: class.json, a student per
entry with every attempt they were graded in. Grading a few submissions into
a class folder adds an attempt to those students and leaves everyone else's
as it was; the tables and pages are written again from the whole record.

    {"format": 1, "students": [
      {"key": folder, "id": text, "name": text, "attempts": [
        {"attempt": 1, "graded": ISO time, "source": path, "kind": "c"|"python"|null,
         "problem": text|null, "folder": "KEY/attempt-1", "sheet": path,
         "checks": [{"name", "points"}], "status": text, "points": {check: x},
         "total": x, "maximum": x, "cases": [
           {"case", "seed", "draws": [[name, value]], "status", "reason",
            "checks": [{"name", "kind", "passed", "message", "window",
                        "failed_at"}],
            "run", "report", "plot", "rerun"}]}]}]}

Paths are relative to the class folder, so that the folder can move."""

import datetime
import fcntl
import json
import os

RECORD = "class.json"
LOCK = ".kelvex-grade.lock"


class ClassBookError(Exception):
    pass


def _rel(out_dir, path):
    return os.path.relpath(path, out_dir) if path else None


class ClassBook:
    def __init__(self, out_dir):
        self.out_dir = out_dir
        self.path = os.path.join(out_dir, RECORD)
        self.students = []
        self._lock = None
        if os.path.exists(self.path):
            try:
                with open(self.path) as f:
                    data = json.load(f)
                self.students = list(data["students"])
            except (OSError, ValueError, KeyError, TypeError) as e:
                raise ClassBookError(f"{self.path}: not a class record ({e}); grade into "
                                     f"another --out")

    def lock(self):
        """One grading at a time per class folder: two would each write the
        record without the other's attempts."""
        self._lock = open(os.path.join(self.out_dir, LOCK), "w")
        try:
            fcntl.flock(self._lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            raise ClassBookError(f"{self.out_dir} is being graded by another kelvex-grade")

    def student(self, key):
        return next((s for s in self.students if s["key"] == key), None)

    def next_attempt(self, key):
        """The number of the attempt a grading of this student now makes, and
        its folder: never one that exists, so nothing of an earlier grading
        is flown over or read again."""
        s = self.student(key)
        n = 1 + max((a["attempt"] for a in s["attempts"]), default=0) if s else 1
        while os.path.exists(os.path.join(self.out_dir, key, f"attempt-{n}")):
            n += 1
        return n, os.path.join(self.out_dir, key, f"attempt-{n}")

    def add(self, sub, attempt, folder, sheet, cases, outcomes):
        """Records one graded submission as its student's newest attempt."""
        checks = [{"name": c.name, "points": c.points} for c in sheet.checks]
        maximum = sum(c["points"] for c in checks)
        record = {"attempt": attempt,
                  "graded": datetime.datetime.now().astimezone().isoformat(timespec="seconds"),
                  "source": sub.path, "kind": sub.kind, "problem": sub.problem,
                  "folder": _rel(self.out_dir, folder), "sheet": os.path.abspath(sheet.path),
                  "checks": checks, "cases": [self._case(o) for o in outcomes],
                  "maximum": round(maximum, 2)}
        points = {}
        for c in checks:
            held = sum(1 for o in record["cases"] for r in o["checks"]
                       if r["name"] == c["name"] and r["passed"])
            share = held / len(cases) if cases and not sub.problem else 0.0
            points[c["name"]] = round(c["points"] * share, 2)
        record["points"] = points
        record["total"] = round(sum(points.values()), 2)
        if sub.problem:
            record["status"] = "does not build" if sub.kind == "c" else "does not run"
        else:
            passed = sum(o["status"] == "passed" for o in record["cases"])
            record["status"] = "passed" if passed == len(record["cases"]) else "failed"
        entry = self.student(sub.name)
        if entry is None:
            entry = {"key": sub.name, "attempts": []}
            self.students.append(entry)
        # The newest submission names the student.
        entry["id"], entry["name"] = sub.student_id, sub.student_name
        entry["attempts"].append(record)
        return record

    def _case(self, o):
        return {"case": o.case.number, "seed": o.case.seed,
                "draws": [[n, v] for n, v in o.case.draws], "label": o.case.label(),
                "status": o.status, "reason": o.reason,
                "checks": [{"name": r.check.name, "kind": r.check.kind, "passed": r.passed,
                            "message": r.message,
                            "window": list(r.window) if r.window else None,
                            "failed_at": r.failed_at} for r in o.results],
                "run": _rel(self.out_dir, o.run_dir), "report": _rel(self.out_dir, o.report),
                "plot": _rel(self.out_dir, o.plot), "rerun": o.rerun}

    def save(self):
        tmp = f"{self.path}.tmp{os.getpid()}"
        with open(tmp, "w") as f:
            json.dump({"format": 1, "students": self.students}, f, indent=1)
            f.write("\n")
        os.replace(tmp, self.path)
