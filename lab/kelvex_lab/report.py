"""The verdicts as a run folder keeps them: report.json for programs and the
plot, report.xml (JUnit) for CI systems."""

import json
import os
import re
import xml.etree.ElementTree as ET

REPORT_JSON = "report.json"
REPORT_XML = "report.xml"


def _write_atomically(path, data):
    tmp = f"{path}.tmp{os.getpid()}"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)


# What XML 1.0 cannot hold at all, not even as a character reference.
_NOT_XML = re.compile("[^\t\n\r\x20-\ud7ff\ue000-\ufffd\U00010000-\U0010ffff]")


def xml_text(value):
    """value as text an XML file can hold: a character XML refuses (a control,
    U+FFFE, a lone surrogate from a line that was not UTF-8) is written as its
    \\uXXXX escape, so a check name or a quoted log line never makes the
    report unreadable."""
    return _NOT_XML.sub(lambda m: "\\u%04x" % ord(m.group()), str(value))


def as_dict(checkfile, run, results):
    failed = [r for r in results if not r.passed]
    return {
        "format": 1,
        "checks_file": checkfile.path,
        "run_dir": run.path,
        "passed": not failed,
        "checks_total": len(results),
        "checks_failed": len(failed),
        "exit_status": run.exit_status,
        "time_limited": run.time_limited,
        "end_t": run.end_time(),
        "options": run.info.get("options", {}),
        # Whether the mission flew sealed, as run.json says: an unsealed one
        # could have written its own evidence.
        "sealed": run.info.get("sealed") is True,
        "checks": [r.as_dict() for r in results],
    }


def junit(checkfile, run, results):
    suite_name = os.path.splitext(os.path.basename(checkfile.path))[0]
    failures = sum(not r.passed for r in results)
    root = ET.Element("testsuites", name="kelvex checks", tests=str(len(results)),
                      failures=str(failures), errors="0")
    suite = ET.SubElement(root, "testsuite", name=suite_name, tests=str(len(results)),
                          failures=str(failures), errors="0", skipped="0", time="0")
    props = ET.SubElement(suite, "properties")
    ET.SubElement(props, "property", name="run_dir", value=str(run.path))
    ET.SubElement(props, "property", name="checks_file", value=str(checkfile.path))
    ET.SubElement(props, "property", name="sealed",
                  value="sealed" if run.info.get("sealed") is True else "not sealed")
    for r in results:
        case = ET.SubElement(suite, "testcase", classname=f"kelvex.{suite_name}",
                             name=r.check.name, time="0")
        if not r.passed:
            failure = ET.SubElement(case, "failure", message=r.message, type=r.check.kind)
            failure.text = f"{checkfile.path}:{r.check.line}: {r.line()}"
        ET.SubElement(case, "system-out").text = r.line()
    for element in root.iter():
        element.attrib = {k: xml_text(v) for k, v in element.attrib.items()}
        if element.text is not None:
            element.text = xml_text(element.text)
    ET.indent(root)
    return ET.tostring(root, encoding="utf-8", xml_declaration=True) + b"\n"


def write(out_dir, checkfile, run, results):
    """Writes both reports into out_dir; returns the JSON report's path."""
    report = as_dict(checkfile, run, results)
    path = os.path.join(out_dir, REPORT_JSON)
    _write_atomically(path, (json.dumps(report, indent=1) + "\n").encode())
    _write_atomically(os.path.join(out_dir, REPORT_XML), junit(checkfile, run, results))
    return path
