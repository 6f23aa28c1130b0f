"""The MIT-mode value classes: limits presets, setpoints and their reprs.

Runs without a CAN bus and takes no arguments:

    python3 examples/values.py
"""
import argparse

import rotalink

argparse.ArgumentParser(description="Print the MIT-mode value classes: limits presets, "
                                    "setpoints and their reprs (no CAN bus needed).").parse_args()

print("rotalink", rotalink.__version__, rotalink.__all__)

limits = rotalink.MitLimits.dm4310()
print(limits)

# Every quantity is a 32-bit float: 0.1 is stored as the nearest float32.
target = rotalink.mit_setpoint(q=0.1, kp=20.0, kd=0.5)
print(target, "q as stored:", target.q)

for name in ("dm3507", "dm4340", "dm8009", "dmh3510"):
    print(f"{name:>8}", getattr(rotalink.MitLimits, name)())
