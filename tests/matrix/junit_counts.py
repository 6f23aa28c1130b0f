"""Prints passed/failed/skipped of a pytest JUnit XML report (tests/matrix/run),
with "+N errors" appended where set-up or tear-down errors occurred; with
--failed first, the tests that failed or erred instead, one a line."""
import sys
import xml.etree.ElementTree as ET

failed_only = sys.argv[1] == "--failed"
root = ET.parse(sys.argv[-1]).getroot()
suites = [root] if root.tag == "testsuite" else root.findall("testsuite")
if failed_only:
    for suite in suites:
        for case in suite.iter("testcase"):
            if case.find("failure") is not None or case.find("error") is not None:
                print("%s::%s" % (case.get("classname", ""), case.get("name", "")))
    sys.exit(0)
total = {"tests": 0, "failures": 0, "errors": 0, "skipped": 0}
for suite in suites:
    for key in total:
        total[key] += int(suite.get(key, 0))
passed = total["tests"] - total["failures"] - total["errors"] - total["skipped"]
text = "%d/%d/%d" % (passed, total["failures"], total["skipped"])
if total["errors"]:
    text += "+%d errors" % total["errors"]
print(text)
