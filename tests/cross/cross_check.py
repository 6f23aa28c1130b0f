"""pytest plugin for the cross-built runs (tests/cross/run): -p cross_check.

Before any test is collected it checks that the interpreter is one of the
target and that ``rotalink`` is the extension built for it, not some other
build found on the path. tests/cross/run says what to expect:

ROTALINK_CROSS_MODULE   the file the module must be imported from
ROTALINK_CROSS_MACHINE  the start of platform.machine() ("arm", "aarch64")
ROTALINK_CROSS_POINTER  the size of a pointer in bytes
ROTALINK_CROSS_TRIPLE   the GNU triple that the extension suffix must carry

The facts go into the report header.
"""
import os
import platform
import struct
import sys
import sysconfig

import pytest

_EXPECTED = ("MODULE", "MACHINE", "POINTER", "TRIPLE")


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
    want = {k.lower(): os.environ.get("ROTALINK_CROSS_" + k) for k in _EXPECTED}
    missing = ["ROTALINK_CROSS_" + k for k in _EXPECTED if not want[k.lower()]]
    if missing:
        raise pytest.UsageError("cross_check: %s not set" % ", ".join(missing))
    f = _facts()
    problems = []
    if f["module"] != os.path.realpath(want["module"]):
        problems.append("rotalink was imported from %s, not %s" % (f["module"], want["module"]))
    if not f["machine"].startswith(want["machine"]):
        problems.append("the interpreter runs on %s, not %s" % (f["machine"], want["machine"]))
    if f["pointer"] != int(want["pointer"]):
        problems.append("pointers are %d bytes, not %s" % (f["pointer"], want["pointer"]))
    if not f["module"].endswith(f["ext_suffix"]) or want["triple"] not in f["ext_suffix"]:
        problems.append("module %s does not carry this interpreter's suffix %s (for %s)"
                        % (f["module"], f["ext_suffix"], want["triple"]))
    if problems:
        raise pytest.UsageError("cross_check: " + "; ".join(problems))


def pytest_report_header(config):
    f = _facts()
    return [
        "cross: rotalink from %(module)s" % f,
        "cross: %(machine)s, pointer %(pointer)d, long %(long)d, size_t %(size_t)d bytes;"
        " sys.executable %(executable)s" % f,
    ]
