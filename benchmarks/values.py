"""Python-level cost of rotalink's value classes and of the peer's codec.

    python3 benchmarks/values.py [RESULT.json]

Times, with timeit (median of repeats, the two sides interleaved):
  * building a MitSetpoint (positional, keyword) and calling mit_setpoint,
    reading a getter, repr, against the peer's dataclass equivalents;
  * the peer's pure-Python encode and decode (the native codec's figures
    come from the Google Benchmark run).
Prints a table and, with an argument, writes the figures as JSON.
"""

import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import rotalink  # noqa: E402
from rotalink import MitLimits, MitSetpoint, mit_setpoint  # noqa: E402

import peer  # noqa: E402
from peer import PeerLimits, PeerSetpoint  # noqa: E402
from timing import compare, ns_per_call  # noqa: E402


def peer_mit_setpoint(q=0.0, dq=0.0, kp=0.0, kd=0.0, tau=0.0):
    """The peer's counterpart of rotalink.mit_setpoint."""
    return PeerSetpoint(q, dq, kp, kd, tau)


ENV = {
    "MitLimits": MitLimits,
    "MitSetpoint": MitSetpoint,
    "mit_setpoint": mit_setpoint,
    "PeerLimits": PeerLimits,
    "PeerSetpoint": PeerSetpoint,
    "peer_mit_setpoint": peer_mit_setpoint,
    "sp": MitSetpoint(1.0, -2.0, 50.0, 1.0, 3.0),
    "psp": PeerSetpoint(1.0, -2.0, 50.0, 1.0, 3.0),
    "encode": peer.encode,
    "decode": peer.decode,
    "limits": PeerLimits(),
    "feedback": bytes.fromhex("117FFF7FF7FF1E20"),
}

ROWS = [
    ("MitSetpoint, 5 positional",
     "MitSetpoint(1.0, -2.0, 50.0, 1.0, 3.0)",
     "PeerSetpoint(1.0, -2.0, 50.0, 1.0, 3.0)"),
    ("MitSetpoint, 5 keyword",
     "MitSetpoint(q=1.0, dq=-2.0, kp=50.0, kd=1.0, tau=3.0)",
     "PeerSetpoint(q=1.0, dq=-2.0, kp=50.0, kd=1.0, tau=3.0)"),
    ("mit_setpoint, 5 positional",
     "mit_setpoint(1.0, -2.0, 50.0, 1.0, 3.0)",
     "peer_mit_setpoint(1.0, -2.0, 50.0, 1.0, 3.0)"),
    ("mit_setpoint, 5 keyword",
     "mit_setpoint(q=1.0, dq=-2.0, kp=50.0, kd=1.0, tau=3.0)",
     "peer_mit_setpoint(q=1.0, dq=-2.0, kp=50.0, kd=1.0, tau=3.0)"),
    ("mit_setpoint, 3 keyword",
     "mit_setpoint(q=1.0, kp=50.0, kd=1.0)",
     "peer_mit_setpoint(q=1.0, kp=50.0, kd=1.0)"),
    ("MitLimits(), defaults", "MitLimits()", "PeerLimits()"),
    ("getter .q", "sp.q", "psp.q"),
    ("all five getters", "sp.q; sp.dq; sp.kp; sp.kd; sp.tau",
     "psp.q; psp.dq; psp.kp; psp.kd; psp.tau"),
    ("repr(setpoint)", "repr(sp)", "repr(psp)"),
]

CODEC = [
    ("peer encode (struct + float)", "encode(limits, psp)"),
    ("peer decode (struct + float + dataclass)", "decode(limits, feedback)"),
]


def bit_exactness(n=20000):
    """How often the peer's double-precision codec gives other bytes than
    32-bit float arithmetic (rotalink's, here through the simulator's
    float32-exact Python codec), over n random in-range setpoints that are
    already 32-bit floats (what rotalink stores)."""
    import random
    import struct
    sys.path.append(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src"))
    from rotalink_sim import codec as f32codec

    def f32(x):
        return struct.unpack("<f", struct.pack("<f", x))[0]

    rng = random.Random(1)
    limits = PeerLimits()
    differ = 0
    for _ in range(n):
        v = [f32(rng.uniform(-12.5, 12.5)), f32(rng.uniform(-30, 30)), f32(rng.uniform(0, 500)),
             f32(rng.uniform(0, 5)), f32(rng.uniform(-10, 10))]
        if peer.encode(limits, PeerSetpoint(*v)) != f32codec.encode_command("dm4310", *v):
            differ += 1
    return {"setpoints": n, "differ": differ}


def main():
    out_path = sys.argv[1] if len(sys.argv) > 1 else None
    values = compare(ROWS, ENV)
    codec = [{"name": n, "stmt": s, "ns": ns_per_call(s, ENV)} for n, s in CODEC]
    empty = ns_per_call("pass", ENV)
    exact = bit_exactness()

    print(f"rotalink {rotalink.__version__} from {rotalink.__file__}")
    print(f"{'operation':32} {'rotalink ns':>12} {'peer ns':>10} {'peer/ours':>10}")
    for r in values:
        print(f"{r['name']:32} {r['ours_ns']:12.1f} {r['peer_ns']:10.1f} "
              f"{r['peer_ns'] / r['ours_ns']:9.2f}x")
    for r in codec:
        print(f"{r['name']:44} {r['ns']:10.1f} ns")
    print(f"{'timeit loop, pass':44} {empty:10.1f} ns")
    print(f"peer codec vs 32-bit float bytes: {exact['differ']} of {exact['setpoints']} "
          "random setpoints encode differently")
    if out_path:
        with open(out_path, "w") as f:
            json.dump({"values": values, "codec": codec, "pass_ns": empty, "bit_exactness": exact,
                       "module": rotalink.__file__}, f, indent=1)


if __name__ == "__main__":
    main()
