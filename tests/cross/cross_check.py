"""pytest plugin for the armhf run (tests/cross/run): -p cross_check.

Before any test is collected it checks that the interpreter is a 32-bit ARM
one and that ``rotalink`` is the extension built for it, the file named by
$ROTALINK_ARMHF_MODULE, not some other build found on the path. The facts
go into the report header.
"""
import os
import platform
import struct
import sys
import sysconfig

import pytest


def _facts():
    import rotalink

    return {
        "module": os.path.realpath(rotalink.__file__),
        "machine": platform.machine(),
        "pointer": struct.calcsize("P"),
        "long": struct.calcsize("l"),
        "size_t": struct.calcsize("n"),
        "ext_suffix": sysconfig.get_config_var("EXT_SUFFIX"),
        "executable": sys.executable,
    }


def pytest_configure(config):
    want = os.environ.get("ROTALINK_ARMHF_MODULE")
    if not want:
        raise pytest.UsageError("cross_check: ROTALINK_ARMHF_MODULE is not set")
    f = _facts()
    problems = []
    if f["module"] != os.path.realpath(want):
        problems.append("rotalink was imported from %s, not %s" % (f["module"], want))
    if not f["machine"].startswith("arm"):
        problems.append("the interpreter runs on %s, not ARM" % f["machine"])
    if f["pointer"] != 4:
        problems.append("pointers are %d bytes, not 4" % f["pointer"])
    if not f["module"].endswith(f["ext_suffix"]) or "arm-linux-gnueabihf" not in f["ext_suffix"]:
        problems.append("module %s does not carry this interpreter's suffix %s"
                        % (f["module"], f["ext_suffix"]))
    if problems:
        raise pytest.UsageError("cross_check: " + "; ".join(problems))


def pytest_report_header(config):
    f = _facts()
    return [
        "armhf: rotalink from %(module)s" % f,
        "armhf: %(machine)s, pointer %(pointer)d, long %(long)d, size_t %(size_t)d bytes;"
        " sys.executable %(executable)s" % f,
    ]
