"""pytest plugin for tests/matrix/run: -p matrix_check.

Before any test is collected it checks that the interpreter is Python
$ROTALINK_MATRIX_VERSION running in the virtual environment
$ROTALINK_MATRIX_VENV, and that ``rotalink`` and ``rotalink_sim`` are the
ones staged for it ($ROTALINK_MATRIX_MODULE and the directory it lies in),
not some other build found on the path. The facts go into the report header.
"""
import os
import sys
import sysconfig

import pytest


def _facts():
    import rotalink
    import rotalink_sim

    return {
        "module": os.path.realpath(rotalink.__file__),
        "sim": os.path.realpath(rotalink_sim.__file__),
        "version": "%d.%d" % sys.version_info[:2],
        "full_version": sys.version.split()[0],
        "prefix": os.path.realpath(sys.prefix),
        "ext_suffix": sysconfig.get_config_var("EXT_SUFFIX"),
        "executable": sys.executable,
    }


def pytest_configure(config):
    want = {k: os.environ.get("ROTALINK_MATRIX_" + k) for k in ("MODULE", "VENV", "VERSION")}
    unset = [k for k, v in want.items() if not v]
    if unset:
        raise pytest.UsageError(
            "matrix_check: ROTALINK_MATRIX_%s is not set" % ", ROTALINK_MATRIX_".join(unset))
    f = _facts()
    module = os.path.realpath(want["MODULE"])
    problems = []
    if f["version"] != want["VERSION"]:
        problems.append("the interpreter is Python %s, not %s" % (f["version"], want["VERSION"]))
    if f["prefix"] != os.path.realpath(want["VENV"]):
        problems.append("the interpreter's prefix is %s, not the venv %s"
                        % (f["prefix"], want["VENV"]))
    if f["module"] != module:
        problems.append("rotalink was imported from %s, not %s" % (f["module"], module))
    if not f["module"].endswith(f["ext_suffix"]):
        problems.append("module %s does not carry this interpreter's suffix %s"
                        % (f["module"], f["ext_suffix"]))
    staged = os.path.join(os.path.dirname(module), "rotalink_sim") + os.sep
    if not f["sim"].startswith(staged):
        problems.append("rotalink_sim was imported from %s, not from %s" % (f["sim"], staged))
    if problems:
        raise pytest.UsageError("matrix_check: " + "; ".join(problems))


def pytest_report_header(config):
    f = _facts()
    return ["matrix: Python %(full_version)s (%(executable)s); rotalink from %(module)s" % f]
