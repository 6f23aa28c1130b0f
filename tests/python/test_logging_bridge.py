"""The logging bridge as the import of ``rotalink`` sets it up, in fresh
interpreters (the bridge is installed once per process).

The records themselves are covered by the embedded-interpreter tests of the
native binary (tests/cpp/test_logging.cpp): no operation of the module logs.
"""

import json
import os
import subprocess
import sys
import textwrap

import rotalink


def run_child(code):
    env = dict(os.environ)
    here = os.path.dirname(os.path.abspath(rotalink.__file__))
    env["PYTHONPATH"] = os.pathsep.join([here] + [p for p in sys.path if p])
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        universal_newlines=True,
        timeout=120,
    )


def test_import_brings_in_python_logging():
    proc = run_child(
        """
        import sys
        assert "logging" not in sys.modules
        import rotalink
        print("logging" in sys.modules)
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "True"
    assert proc.stderr == ""


def test_import_fails_with_a_panic_when_logging_cannot_be_imported_and_a_retry_works():
    proc = run_child(
        """
        import json, sys
        sys.modules["logging"] = None
        try:
            import rotalink
        except Exception as e:
            raise SystemExit("an Exception handler caught it: %r" % (e,))
        except BaseException as e:
            caught = e
        first = {
            "type": type(caught).__name__,
            "bases": [b.__name__ for b in type(caught).__bases__],
            "args": list(caught.args),
            "cached": "rotalink" in sys.modules,
        }
        # The failure came before the bridge was installed: a retry succeeds.
        del sys.modules["logging"]
        import rotalink
        print(json.dumps({"first": first, "all": rotalink.__all__}))
        """
    )
    assert proc.returncode == 0, proc.stderr
    result = json.loads(proc.stdout)
    first = result["first"]
    assert first["type"] == "PanicException"
    assert first["bases"] == ["BaseException"]
    assert len(first["args"]) == 1
    message = first["args"][0]
    assert message.startswith("Failed to initialize python logging: ModuleNotFoundError"), message
    assert first["cached"] is False
    assert result["all"] == rotalink.__all__
    assert message in proc.stderr
