"""The raw CAN socket's records: ``struct can_frame`` (16 bytes) and
``struct canfd_frame`` (72 bytes), as the kernel lays them out.

The kernel keeps the identifier word in the host's byte order, so the
records are packed in native order with standard sizes ("="), never in a
fixed one. The simulator and the tests pack their records here; the tools
(rotalink_scan.frames) keep their own copy, so that the simulator, a check
of the package, imports nothing of it.
"""

import struct

__all__ = [
    "CAN_EFF_FLAG",
    "CAN_RTR_FLAG",
    "CAN_ERR_FLAG",
    "CAN_SFF_MASK",
    "CAN_EFF_MASK",
    "CANFD_BRS",
    "CANFD_FDF",
    "CAN_MTU",
    "CANFD_MTU",
    "CAN_FRAME",
    "CANFD_FRAME",
    "pack_frame",
    "unpack_frame",
]

CAN_EFF_FLAG = 0x80000000
CAN_RTR_FLAG = 0x40000000
CAN_ERR_FLAG = 0x20000000
CAN_SFF_MASK = 0x000007FF
CAN_EFF_MASK = 0x1FFFFFFF
CANFD_BRS = 0x01
CANFD_FDF = 0x04

CAN_MTU = 16
CANFD_MTU = 72

#: ``struct can_frame``: identifier word, length, 3 pad bytes, 8 data bytes.
CAN_FRAME = struct.Struct("=IB3x8s")
#: ``struct canfd_frame``: identifier word, length, flags, 2 pad bytes, 64 data bytes.
CANFD_FRAME = struct.Struct("=IBB2x64s")


def pack_frame(can_id, data, fd=False, flags=0):
    """Bytes of a ``struct can_frame`` (16) or ``struct canfd_frame`` (72).

    ``can_id`` is the raw identifier word (CAN_EFF_FLAG set for an extended
    one); an FD record carries CANFD_FDF and any further ``flags``.
    """
    data = bytes(data)
    if fd:
        if len(data) > 64:
            raise ValueError("an FD frame carries at most 64 bytes")
        return CANFD_FRAME.pack(can_id, len(data), flags | CANFD_FDF, data)
    if len(data) > 8:
        raise ValueError("a classic frame carries at most 8 bytes")
    return CAN_FRAME.pack(can_id, len(data), data)


def unpack_frame(raw):
    """Parse bytes read from a raw CAN socket into ``(can_id, data, fd)``.

    Returns None for a read that is neither a classic nor an FD frame.
    """
    if len(raw) == CAN_MTU:
        can_id, length, data = CAN_FRAME.unpack(raw)
        return can_id, data[:min(length, 8)], False
    if len(raw) == CANFD_MTU:
        can_id, length, _flags, data = CANFD_FRAME.unpack(raw)
        return can_id, data[:min(length, 64)], True
    return None
