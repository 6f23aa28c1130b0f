"""Checks a built wheel and sdist of rotalink.

    python3 tests/package/check_dist.py WHEEL SDIST [WHEEL_FROM_SDIST]

The wheel: a valid zip archive whose RECORD lists every file with its right
hash and size; tagged for this interpreter and platform (it holds a compiled
module); holding exactly the extension module, its type stub in both places
with the stub package's marker, the simulator and scanner packages and the
metadata, with its console scripts declared; the extension exporting one
dynamic symbol.
The sdist: one top directory with PKG-INFO, everything the build needs that
git tracks, and nothing built. A wheel built from the sdist must hold the
same files as the one built from the tree.

Exits non-zero with every problem listed.
"""
import base64
import hashlib
import re
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import zipfile
from email.parser import Parser
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
NAME, VERSION = "rotalink", "1.0.0"
EXT = "rotalink" + sysconfig.get_config_var("EXT_SUFFIX")
DIST_INFO = "%s-%s.dist-info" % (NAME, VERSION)
SIM_MODULES = ["__init__", "__main__", "cli", "codec", "frames", "model", "process", "sim"]
SCAN_MODULES = ["__init__", "__main__", "cli", "description", "frames", "plot", "probe", "record", "report",
                "setup_tool", "stop"]
CONSOLE_SCRIPTS = [("rotalink-sim", "rotalink_sim.__main__:main"), ("rotalink-scan", "rotalink_scan.__main__:main"),
                   ("rotalink-stop", "rotalink_scan.stop:main"), ("rotalink-setup", "rotalink_scan.setup_tool:main"),
                   ("rotalink-plot", "rotalink_scan.plot:main")]

problems = []


def problem(text):
    problems.append(text)


def wheel_files(path):
    with zipfile.ZipFile(path) as z:
        return sorted(n for n in z.namelist() if not n.endswith("/"))


def check_wheel(path):
    path = Path(path)
    m = re.fullmatch(r"rotalink-1\.0\.0-(cp\d+)-(cp\d+\w*)-(\w+)\.whl", path.name)
    if not m:
        problem("wheel name %s is not rotalink-1.0.0-<python>-<abi>-<platform>.whl" % path.name)
    else:
        py = "cp%d%d" % sys.version_info[:2]
        if m.group(1) != py:
            problem("wheel is tagged %s, this interpreter is %s" % (m.group(1), py))
        if m.group(3) in ("any",) or "linux" not in m.group(3):
            problem("wheel platform tag %s is not a Linux platform" % m.group(3))

    with zipfile.ZipFile(path) as z:
        bad = z.testzip()
        if bad is not None:
            problem("wheel member %s fails its CRC" % bad)
        names = set(wheel_files(path))

        expected = {
            EXT,
            "rotalink.pyi",
            "rotalink-stubs/__init__.pyi",
            "rotalink-stubs/py.typed",
            DIST_INFO + "/METADATA",
            DIST_INFO + "/WHEEL",
            DIST_INFO + "/RECORD",
            DIST_INFO + "/entry_points.txt",
        } | {"rotalink_sim/%s.py" % m for m in SIM_MODULES} | {
            "rotalink_scan/%s.py" % m for m in SCAN_MODULES}
        # Licence files, if the backend adds any, may sit in the dist-info.
        extra = {n for n in names - expected if not n.startswith(DIST_INFO + "/licenses/")}
        for n in sorted(expected - names):
            problem("wheel lacks %s" % n)
        for n in sorted(extra):
            problem("wheel holds an unexpected file %s" % n)

        # RECORD: every file, with its hash and size; RECORD itself unhashed.
        record = {}
        for line in z.read(DIST_INFO + "/RECORD").decode().splitlines():
            if not line:
                continue
            name, digest, size = line.rsplit(",", 2)
            record[name] = (digest, size)
        if set(record) != names:
            problem("RECORD and the archive differ in %s" % sorted(set(record) ^ names))
        for name in sorted(names & set(record)):
            digest, size = record[name]
            data = z.read(name)
            if name == DIST_INFO + "/RECORD":
                if digest or size:
                    problem("RECORD carries a hash of itself")
                continue
            want = "sha256=" + base64.urlsafe_b64encode(
                hashlib.sha256(data).digest()).rstrip(b"=").decode()
            if digest != want or size != str(len(data)):
                problem("RECORD entry of %s does not match its content" % name)

        stub = (REPO / "src" / "rotalink.pyi").read_bytes()
        for name in ("rotalink.pyi", "rotalink-stubs/__init__.pyi"):
            if name in names and z.read(name) != stub:
                problem("%s differs from src/rotalink.pyi" % name)
        if "rotalink-stubs/py.typed" in names and z.read("rotalink-stubs/py.typed").strip():
            problem("rotalink-stubs/py.typed is not empty (the stubs are complete)")

        meta = Parser().parsestr(z.read(DIST_INFO + "/METADATA").decode())
        for key, want in (("Name", NAME), ("Version", VERSION),
                          ("Requires-Python", ">=3.8"),
                          ("Description-Content-Type", "text/markdown")):
            if meta.get(key) != want:
                problem("METADATA %s is %r, expected %r" % (key, meta.get(key), want))
        readme = (REPO / "README.md").read_text()
        if (meta.get_payload() or "").strip() != readme.strip():
            problem("METADATA's description is not the README")

        wheel = Parser().parsestr(z.read(DIST_INFO + "/WHEEL").decode())
        if wheel.get("Root-Is-Purelib") != "false":
            problem("WHEEL says Root-Is-Purelib: %s for a compiled module" % wheel.get("Root-Is-Purelib"))

        entry = z.read(DIST_INFO + "/entry_points.txt").decode()
        if not re.search(r"^\[console_scripts\]\s*\n", entry, re.M):
            problem("entry_points.txt has no console scripts: %r" % entry)
        for script, target in CONSOLE_SCRIPTS:
            if not re.search(r"^%s\s*=\s*%s\s*$" % (script, re.escape(target)), entry, re.M):
                problem("entry_points.txt does not declare %s: %r" % (script, entry))

        if EXT in names:
            with tempfile.TemporaryDirectory() as tmp:
                so = Path(tmp) / EXT
                so.write_bytes(z.read(EXT))
                out = subprocess.run(["nm", "-D", "--defined-only", str(so)],
                                     capture_output=True, text=True)
            if out.returncode != 0:
                problem("nm cannot read the extension: %s" % out.stderr.strip())
            else:
                symbols = sorted(f[-1] for f in map(str.split, out.stdout.splitlines())
                                 if len(f) == 3)
                if symbols != ["PyInit_rotalink"]:
                    problem("the extension exports %s, expected only PyInit_rotalink" % symbols)
    return names


def check_sdist(path):
    path = Path(path)
    if path.name != "%s-%s.tar.gz" % (NAME, VERSION):
        problem("sdist name %s is not %s-%s.tar.gz" % (path.name, NAME, VERSION))
    top = "%s-%s/" % (NAME, VERSION)
    with tarfile.open(path) as t:
        members = t.getmembers()
        names = {m.name for m in members if m.isfile()}
        for m in members:
            if not (m.name + "/").startswith(top):
                problem("sdist member %s lies outside %s" % (m.name, top))
            if m.issym() or m.islnk() or m.isdev():
                problem("sdist member %s is a link or device" % m.name)
        rel = {n[len(top):] for n in names if n.startswith(top)}
        if "PKG-INFO" not in rel:
            problem("sdist lacks PKG-INFO")
        else:
            meta = Parser().parsestr(t.extractfile(top + "PKG-INFO").read().decode())
            if meta.get("Name") != NAME or meta.get("Version") != VERSION:
                problem("PKG-INFO names %s %s" % (meta.get("Name"), meta.get("Version")))
    tracked = subprocess.run(["git", "-C", str(REPO), "ls-files", "src", "CMakeLists.txt",
                              "pyproject.toml", "README.md"],
                             capture_output=True, text=True, check=True).stdout.split()
    for n in sorted(set(tracked) - rel):
        if (REPO / n).exists():
            problem("sdist lacks %s" % n)
    for n in sorted(rel):
        if (n.startswith(("build/", "dist/", ".venv/")) or "__pycache__" in n
                or n.endswith((".so", ".o", ".a", ".pyc", ".whl"))):
            problem("sdist holds a built file %s" % n)


def main(argv):
    if len(argv) not in (3, 4):
        sys.exit(__doc__)
    names = check_wheel(argv[1])
    check_sdist(argv[2])
    if len(argv) == 4:
        again = check_wheel(argv[3])
        if again != names:
            problem("the wheel built from the sdist differs: %s" % sorted(again ^ names))
    for p in problems:
        print("package check: " + p, file=sys.stderr)
    if problems:
        sys.exit(1)
    print("package check: wheel %s (%d files) and sdist %s are sound"
          % (Path(argv[1]).name, len(names), Path(argv[2]).name))


if __name__ == "__main__":
    main(sys.argv)
