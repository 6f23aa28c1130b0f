"""The raw CAN socket's records, as the tools read and write them:
``struct can_frame`` (16 bytes) and ``struct canfd_frame`` (72 bytes), laid
out as Linux SocketCAN lays them out.

The kernel keeps the identifier word in the host's byte order, so the records
are packed in native order with standard sizes ("="). What goes into a
record (identifiers, command bytes, registers) comes from the ``rotalink``
module; this is only the socket's layout.
"""

import struct

__all__ = ["CAN_EFF_FLAG", "CAN_RTR_FLAG", "CAN_ERR_FLAG", "CAN_SFF_MASK", "CAN_EFF_MASK",
           "CANFD_FDF", "CAN_MTU", "CANFD_MTU", "CAN_FRAME", "CANFD_FRAME", "pack_frame",
           "unpack_frame", "id_text"]

CAN_EFF_FLAG = 0x80000000
CAN_RTR_FLAG = 0x40000000
CAN_ERR_FLAG = 0x20000000
CAN_SFF_MASK = 0x000007FF
CAN_EFF_MASK = 0x1FFFFFFF
CANFD_FDF = 0x04

CAN_MTU = 16
CANFD_MTU = 72

#: ``struct can_frame``: identifier word, length, 3 pad bytes, 8 data bytes.
CAN_FRAME = struct.Struct("=IB3x8s")
#: ``struct canfd_frame``: identifier word, length, flags, 2 pad bytes, 64 data bytes.
CANFD_FRAME = struct.Struct("=IBB2x64s")


def pack_frame(can_id, data, fd=False, flags=0):
    """Bytes of a ``struct can_frame`` (16) or, with `fd`, a ``struct
    canfd_frame`` (72, CANFD_FDF set besides `flags`). `can_id` is the raw
    identifier word (CAN_EFF_FLAG set for an extended one)."""
    data = bytes(data)
    if fd:
        if len(data) > 64:
            raise ValueError("an FD frame carries at most 64 bytes")
        return CANFD_FRAME.pack(can_id, len(data), flags | CANFD_FDF, data)
    if len(data) > 8:
        raise ValueError("a classic frame carries at most 8 bytes")
    return CAN_FRAME.pack(can_id, len(data), data)


def unpack_frame(raw):
    """``(can_id, data, fd)`` of a record read from a raw CAN socket; None
    for a read that is neither a classic nor an FD frame."""
    if len(raw) == CAN_MTU:
        can_id, length, data = CAN_FRAME.unpack(raw)
        return can_id, data[:min(length, 8)], False
    if len(raw) == CANFD_MTU:
        can_id, length, _flags, data = CANFD_FRAME.unpack(raw)
        return can_id, data[:min(length, 64)], True
    return None


def id_text(can_id):
    """An identifier word as the tools print it: 0x011, or 0x00000011 for an
    extended one."""
    if can_id & CAN_EFF_FLAG:
        return "0x%08x" % (can_id & CAN_EFF_MASK)
    return "0x%03x" % (can_id & CAN_SFF_MASK)
