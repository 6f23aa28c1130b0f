"""MIT-mode payload codec of a Damiao DM-series motor, in 32-bit float arithmetic.

Both directions of the protocol live here, so the simulator and its tests can
check bytes against an independent implementation:

* ``encode_command`` / ``decode_command``: the 8-byte MIT command that the host
  sends (target position, target velocity, position gain, velocity gain,
  feed-forward torque).
* ``encode_feedback`` / ``decode_feedback``: the 8-byte feedback that the motor
  answers with (error nibble, motor-id nibble, position, velocity, torque, two
  temperature bytes).

Every intermediate result is rounded to the nearest 32-bit IEEE float with
``f32`` after each single operation, so the results equal those of a C or C++
implementation that computes in ``float``, bit for bit.

Command payload (big-endian fields; dq/kp and kd/tau share a byte)::

    byte 0..1  q   raw 16 bits
    byte 2     dq  raw bits 11..4
    byte 3     dq  raw bits 3..0 | kp raw bits 11..8
    byte 4     kp  raw bits 7..0
    byte 5     kd  raw bits 11..4
    byte 6     kd  raw bits 3..0 | tau raw bits 11..8
    byte 7     tau raw bits 7..0

Feedback payload::

    byte 0     error << 4 | (motor_id & 0xF)
    byte 1..2  position raw 16 bits
    byte 3     velocity raw bits 11..4
    byte 4     velocity raw bits 3..0 | torque raw bits 11..8
    byte 5     torque raw bits 7..0
    byte 6     t_mos
    byte 7     t_rotor

Scaling to raw (host encoder and motor feedback alike): clamp ``x`` into its
range (``if x < min: x = min``, then ``if x > max: x = max``; NaN passes), then
``s = ((m + x) * K) / (m + m)`` for the symmetric fields and ``s = (x * K) / m``
for the gains, with ``K = 65535`` for 16-bit and ``4095`` for 12-bit fields.
``s`` is truncated toward zero; NaN and negative values give 0, values at or
above 2**32 give 2**32 - 1.

Scaling from raw: symmetric ``x = ((m + m) * raw) / K - m``, gains
``x = (raw * m) / K``.
"""

import math
import struct
from collections import namedtuple

__all__ = [
    "f32",
    "Limits",
    "PRESETS",
    "DEFAULT_LIMITS",
    "Command",
    "Feedback",
    "limits_of",
    "encode_command",
    "decode_command",
    "encode_feedback",
    "decode_feedback",
    "to_raw",
    "from_raw_symmetric",
    "from_raw_gain",
]

K16 = 65535.0
K12 = 4095.0
_U32_MAX = 0xFFFFFFFF

_F32 = struct.Struct("<f")


def f32(x):
    """Round a Python float to the nearest 32-bit IEEE float (ties to even).

    Magnitudes that round beyond the 32-bit range become infinities, NaN stays
    NaN, and the sign of zero is kept.
    """
    x = float(x)
    try:
        return _F32.unpack(_F32.pack(x))[0]
    except OverflowError:
        # pack() refuses exactly the finite doubles that round to infinity.
        return math.copysign(math.inf, x)


def _add(a, b):
    return f32(a + b)


def _sub(a, b):
    return f32(a - b)


def _mul(a, b):
    return f32(a * b)


def _div(a, b):
    """IEEE division (Python raises on a zero divisor, a float unit does not)."""
    if b == 0.0:
        if a == 0.0 or math.isnan(a):
            return math.nan
        negative = (math.copysign(1.0, a) < 0) != (math.copysign(1.0, b) < 0)
        return -math.inf if negative else math.inf
    return f32(a / b)


Limits = namedtuple("Limits", "p_max v_max kp_max kd_max t_max")
Limits.__doc__ = "Full-scale limits of one motor model, as 32-bit floats."

Command = namedtuple("Command", "q dq kp kd tau")
Command.__doc__ = "One decoded MIT command (target position, velocity, gains, torque)."

Feedback = namedtuple("Feedback", "motor_id error position velocity torque t_mos t_rotor")
Feedback.__doc__ = "One decoded feedback payload."


def _limits(p_max, v_max, kp_max, kd_max, t_max):
    return Limits(f32(p_max), f32(v_max), f32(kp_max), f32(kd_max), f32(t_max))


#: Per-model limit presets, keyed by model name. 12.566 is the 32-bit float
#: nearest to 12.566 (0x41490E56), not 4*pi.
PRESETS = {
    "dm3507": _limits(12.566, 50, 500, 5, 5),
    "dm4310": _limits(12.5, 30, 500, 5, 10),
    "dm4310p": _limits(12.5, 50, 500, 5, 10),
    "dm4340": _limits(12.5, 10, 500, 5, 28),
    "dm4340p": _limits(12.5, 10, 500, 5, 28),
    "dm6006": _limits(12.5, 45, 500, 5, 20),
    "dm6248p": _limits(12.566, 20, 500, 5, 120),
    "dm8006": _limits(12.5, 45, 500, 5, 40),
    "dm8009": _limits(12.5, 45, 500, 5, 54),
    "dm10010": _limits(12.5, 20, 500, 5, 200),
    "dm10010l": _limits(12.5, 25, 500, 5, 200),
    "dmg6215": _limits(12.5, 45, 500, 5, 10),
    "dmh3510": _limits(12.5, 280, 500, 5, 1),
    "dmh6220": _limits(12.5, 45, 500, 5, 10),
    "dmjh11": _limits(12.5, 10, 500, 5, 12),
}

DEFAULT_LIMITS = PRESETS["dm4310"]


def limits_of(limits):
    """Return ``limits`` as a ``Limits`` of 32-bit floats.

    Accepts a ``Limits``, any 5-sequence, an object with ``p_max``..``t_max``
    attributes (such as ``rotalink.MitLimits``), a preset name, or ``None``
    (the dm4310 defaults).
    """
    if limits is None:
        return DEFAULT_LIMITS
    if isinstance(limits, str):
        try:
            return PRESETS[limits.lower()]
        except KeyError:
            raise ValueError("unknown motor model %r" % limits) from None
    if all(hasattr(limits, f) for f in Limits._fields):
        return _limits(*(getattr(limits, f) for f in Limits._fields))
    values = tuple(limits)
    if len(values) != 5:
        raise ValueError("limits need 5 values (p_max, v_max, kp_max, kd_max, t_max)")
    return _limits(*values)


def to_raw(scaled):
    """Truncate a scaled float toward zero into an unsigned 32-bit integer.

    NaN and negative values give 0; values at or above 2**32 give 2**32 - 1.
    """
    if math.isnan(scaled) or scaled < 0.0:
        return 0
    if scaled >= 4294967296.0:
        return _U32_MAX
    return int(scaled)


def _clamp(x, lo, hi):
    if x < lo:
        x = lo
    if x > hi:
        x = hi
    return x


def _raw_symmetric(x, m, k):
    x = _clamp(f32(x), f32(-m), m)
    return to_raw(_div(_mul(_add(m, x), k), _add(m, m)))


def _raw_gain(x, m, k):
    x = _clamp(f32(x), 0.0, m)
    return to_raw(_div(_mul(x, k), m))


def from_raw_symmetric(raw, m, k):
    """``((m + m) * raw) / k - m`` in 32-bit float arithmetic."""
    return _sub(_div(_mul(_add(m, m), f32(raw)), k), m)


def from_raw_gain(raw, m, k):
    """``(raw * m) / k`` in 32-bit float arithmetic."""
    return _div(_mul(f32(raw), m), k)


def _check_limits(lim):
    for name, (lo, hi) in zip(
        Limits._fields,
        (
            (-lim.p_max, lim.p_max),
            (-lim.v_max, lim.v_max),
            (0.0, lim.kp_max),
            (0.0, lim.kd_max),
            (-lim.t_max, lim.t_max),
        ),
    ):
        if not getattr(lim, name) >= 0.0:
            raise ValueError(
                "limit %s must be zero or positive, got %r (min = %r, max = %r)"
                % (name, getattr(lim, name), lo, hi)
            )


def encode_command(limits, q=0.0, dq=0.0, kp=0.0, kd=0.0, tau=0.0):
    """Encode one MIT command into its 8 payload bytes, as the host does.

    Raises ``ValueError`` when a limit is negative or NaN (tested in the order
    p_max, v_max, kp_max, kd_max, t_max).
    """
    lim = limits_of(limits)
    _check_limits(lim)
    q_raw = _raw_symmetric(q, lim.p_max, K16)
    dq_raw = _raw_symmetric(dq, lim.v_max, K12)
    kp_raw = _raw_gain(kp, lim.kp_max, K12)
    kd_raw = _raw_gain(kd, lim.kd_max, K12)
    tau_raw = _raw_symmetric(tau, lim.t_max, K12)
    # Seven 0xFF bytes would be a special command (FC enable, FD disable, FB
    # clear error, FE set zero): the position goes one raw step lower.
    if (q_raw & 0xFFFF, dq_raw & 0xFFF, kp_raw & 0xFFF, kd_raw & 0xFFF, tau_raw & 0xF00) == (
            0xFFFF, 0xFFF, 0xFFF, 0xFFF, 0xF00):
        q_raw = 0xFFFE
    return bytes(
        (
            (q_raw >> 8) & 0xFF,
            q_raw & 0xFF,
            (dq_raw >> 4) & 0xFF,
            ((dq_raw & 0xF) << 4) | ((kp_raw >> 8) & 0xF),
            kp_raw & 0xFF,
            (kd_raw >> 4) & 0xFF,
            ((kd_raw & 0xF) << 4) | ((tau_raw >> 8) & 0xF),
            tau_raw & 0xFF,
        )
    )


def _need8(data):
    data = bytes(data)
    if len(data) < 8:
        raise ValueError("payload needs 8 bytes, got %d" % len(data))
    return data


def decode_command(limits, data):
    """Decode the 8 bytes of an MIT command into a ``Command`` of floats."""
    lim = limits_of(limits)
    d = _need8(data)
    q_raw = (d[0] << 8) | d[1]
    dq_raw = (d[2] << 4) | (d[3] >> 4)
    kp_raw = ((d[3] & 0xF) << 8) | d[4]
    kd_raw = (d[5] << 4) | (d[6] >> 4)
    tau_raw = ((d[6] & 0xF) << 8) | d[7]
    return Command(
        from_raw_symmetric(q_raw, lim.p_max, K16),
        from_raw_symmetric(dq_raw, lim.v_max, K12),
        from_raw_gain(kp_raw, lim.kp_max, K12),
        from_raw_gain(kd_raw, lim.kd_max, K12),
        from_raw_symmetric(tau_raw, lim.t_max, K12),
    )


def encode_feedback(limits, motor_id, error, position, velocity, torque, t_mos, t_rotor):
    """Encode one feedback payload (8 bytes) as the motor sends it.

    Only the low nibble of ``motor_id`` and of ``error`` and the low byte of
    each temperature are carried. Values outside the limits are clamped.
    """
    lim = limits_of(limits)
    p_raw = _raw_symmetric(position, lim.p_max, K16)
    v_raw = _raw_symmetric(velocity, lim.v_max, K12)
    t_raw = _raw_symmetric(torque, lim.t_max, K12)
    return bytes(
        (
            ((int(error) & 0xF) << 4) | (int(motor_id) & 0xF),
            (p_raw >> 8) & 0xFF,
            p_raw & 0xFF,
            (v_raw >> 4) & 0xFF,
            ((v_raw & 0xF) << 4) | ((t_raw >> 8) & 0xF),
            t_raw & 0xFF,
            int(t_mos) & 0xFF,
            int(t_rotor) & 0xFF,
        )
    )


def decode_feedback(limits, data):
    """Decode a feedback payload (first 8 bytes) as the host does."""
    lim = limits_of(limits)
    d = _need8(data)
    p_raw = (d[1] << 8) | d[2]
    v_raw = (d[3] << 4) | (d[4] >> 4)
    t_raw = ((d[4] & 0xF) << 8) | d[5]
    return Feedback(
        d[0] & 0xF,
        d[0] >> 4,
        from_raw_symmetric(p_raw, lim.p_max, K16),
        from_raw_symmetric(v_raw, lim.v_max, K12),
        from_raw_symmetric(t_raw, lim.t_max, K12),
        d[6],
        d[7],
    )
