"""Fails unless `rotalink` is imported from the given build directory, with
the AddressSanitizer runtime loaded: the sanitized module, not an installed
copy, is the one under test."""
import os
import sys

import rotalink

build = os.path.realpath(sys.argv[1])
where = os.path.realpath(rotalink.__file__)
if not where.startswith(build + os.sep):
    sys.exit("rotalink imported from %s, not from %s" % (where, build))
with open("/proc/self/maps") as f:
    if "libasan" not in f.read():
        sys.exit("the AddressSanitizer runtime is not loaded")
print("rotalink under test: " + where)
