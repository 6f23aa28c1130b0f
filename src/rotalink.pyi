# Type stub of the rotalink extension module.
#
# Installed twice from this one file: as rotalink.pyi beside the extension
# (read by editors that look next to a module) and as rotalink-stubs/__init__.pyi
# (the stub-only package form that mypy and stubtest look for; a lone .pyi
# beside a top-level module in site-packages is not picked up by mypy).
#
# Every class but the exception GroupError is final (none can be subclassed),
# has read-only attributes only and compares and hashes by identity. Every
# quantity is stored as a 32-bit float; getters return the stored value
# widened exactly to a Python float.
#
# Parameters are typed by the protocol the module converts them with, so that
# NumPy scalars and other number types check as they run: a float parameter
# takes anything with __float__ or __index__ (int and bool included), an
# integer parameter anything with __index__ (never a float). What is stored
# and read back is typed as the concrete float or int.
from enum import IntEnum
from typing import (Iterable, List, Optional, Sequence, SupportsFloat, SupportsIndex, Tuple, Union,
                    final)

# What a float parameter takes: an object with __float__ or with __index__.
_Float = Union[SupportsFloat, SupportsIndex]

__all__ = [
    "__version__",
    "MitLimits",
    "MitSetpoint",
    "MotorState",
    "Damiao",
    "SocketCanTransport",
    "mit_setpoint",
    "MotorGroup",
    "GroupError",
    "Register",
]

__version__: str

@final
class MitLimits:
    def __new__(
        cls,
        p_max: _Float = 12.5,
        v_max: _Float = 30.0,
        kp_max: _Float = 500.0,
        kd_max: _Float = 5.0,
        t_max: _Float = 10.0,
    ) -> MitLimits: ...
    @property
    def p_max(self) -> float: ...
    @property
    def v_max(self) -> float: ...
    @property
    def kp_max(self) -> float: ...
    @property
    def kd_max(self) -> float: ...
    @property
    def t_max(self) -> float: ...
    @staticmethod
    def dm3507() -> MitLimits: ...
    @staticmethod
    def dm4310() -> MitLimits: ...
    @staticmethod
    def dm4310p() -> MitLimits: ...
    @staticmethod
    def dm4340() -> MitLimits: ...
    @staticmethod
    def dm4340p() -> MitLimits: ...
    @staticmethod
    def dm6006() -> MitLimits: ...
    @staticmethod
    def dm6248p() -> MitLimits: ...
    @staticmethod
    def dm8006() -> MitLimits: ...
    @staticmethod
    def dm8009() -> MitLimits: ...
    @staticmethod
    def dm10010() -> MitLimits: ...
    @staticmethod
    def dm10010l() -> MitLimits: ...
    @staticmethod
    def dmg6215() -> MitLimits: ...
    @staticmethod
    def dmh3510() -> MitLimits: ...
    @staticmethod
    def dmh6220() -> MitLimits: ...
    @staticmethod
    def dmjh11() -> MitLimits: ...

@final
class MitSetpoint:
    def __new__(
        cls,
        q: _Float = 0.0,
        dq: _Float = 0.0,
        kp: _Float = 0.0,
        kd: _Float = 0.0,
        tau: _Float = 0.0,
    ) -> MitSetpoint: ...
    @property
    def q(self) -> float: ...
    @property
    def dq(self) -> float: ...
    @property
    def kp(self) -> float: ...
    @property
    def kd(self) -> float: ...
    @property
    def tau(self) -> float: ...

# Made only by the Damiao commands: calling MotorState() raises TypeError
# "No constructor defined for MotorState" (a stub cannot forbid the call).
@final
class MotorState:
    @property
    def motor_id(self) -> int: ...
    @property
    def error(self) -> int: ...
    @property
    def position(self) -> float: ...
    @property
    def velocity(self) -> float: ...
    @property
    def torque(self) -> float: ...
    @property
    def t_mos(self) -> int: ...
    @property
    def t_rotor(self) -> int: ...

@final
class SocketCanTransport:
    def __new__(cls, iface: str) -> SocketCanTransport: ...

@final
class Damiao:
    def __new__(
        cls,
        motor_id: SupportsIndex,
        master_id: SupportsIndex,
        limits: Optional[MitLimits] = None,
        timeout_ms: SupportsIndex = 20,
    ) -> Damiao: ...
    @property
    def motor_id(self) -> int: ...
    @property
    def master_id(self) -> int: ...
    def enable(self, bus: SocketCanTransport) -> MotorState: ...
    def disable(self, bus: SocketCanTransport) -> MotorState: ...
    def set_zero(self, bus: SocketCanTransport) -> MotorState: ...
    def clear_error(self, bus: SocketCanTransport) -> MotorState: ...
    def mit_control(self, bus: SocketCanTransport, setpoint: MitSetpoint) -> MotorState: ...
    def ensure_mit_mode(self, bus: SocketCanTransport) -> None:
        """Force the firmware into MIT control mode (register 10 = 1). Some
        motors ship in POS_VEL/VEL/FORCE_POS, in which case `mit_control` is
        silently ignored."""
    def read_register(self, bus: SocketCanTransport, register: SupportsIndex) -> Union[int, float]:
        """Read one firmware register: an int (Uint32 registers) or a float
        (Float registers). `rotalink.Register` names them."""
    def write_register(self, bus: SocketCanTransport, register: SupportsIndex, value: _Float) -> None:
        """Write one firmware register; no reply is awaited. `value` is an int
        for a Uint32 register and a finite float (or int) for a Float one.
        Whether the value survives a power cycle is up to the firmware."""
    def read_limits(self, bus: SocketCanTransport) -> MitLimits:
        """Read the ranges this motor maps its MIT frames to (PMAX, VMAX and
        TMAX, registers 21 to 23) as a MitLimits, with the frame's fixed
        gain ranges kp_max 500 and kd_max 5."""

def mit_setpoint(
    q: _Float = 0.0,
    dq: _Float = 0.0,
    kp: _Float = 0.0,
    kd: _Float = 0.0,
    tau: _Float = 0.0,
) -> MitSetpoint:
    """Build a `MitSetpoint` (handy when keyword args are awkward)."""

# A member is a (bus, motor) pair; a 2-list is taken as well as a 2-tuple.
_Member = Union[Tuple[SocketCanTransport, Damiao], List[Union[SocketCanTransport, Damiao]]]

@final
class MotorGroup:
    def __new__(
        cls,
        members: Iterable[_Member],
        timeout_ms: SupportsIndex = 20,
        fd: bool = False,
    ) -> MotorGroup: ...
    def __len__(self) -> int: ...
    @property
    def members(self) -> Tuple[Tuple[SocketCanTransport, Damiao], ...]: ...
    @property
    def timeout_ms(self) -> int: ...
    @property
    def fd(self) -> bool: ...
    def enable(self) -> List[MotorState]: ...
    def disable(self) -> List[MotorState]: ...
    def set_zero(self) -> List[MotorState]: ...
    def clear_error(self) -> List[MotorState]: ...
    def mit_control(self, setpoints: Sequence[MitSetpoint]) -> List[MotorState]: ...

# Raised by a MotorGroup command when any member failed, after the whole
# cycle; both lists are in member order.
class GroupError(RuntimeError):
    states: List[Optional[MotorState]]
    errors: List[Optional[str]]

class Register(IntEnum):
    """The firmware's registers, by the maker's names. `is_float` tells a
    register holding a 32-bit float from one holding an unsigned 32-bit
    integer; `writable` whether it may be written."""
    UV_Value = 0
    KT_Value = 1
    OT_Value = 2
    OC_Value = 3
    ACC = 4
    DEC = 5
    MAX_SPD = 6
    MST_ID = 7
    ESC_ID = 8
    TIMEOUT = 9
    CTRL_MODE = 10
    Damp = 11
    Inertia = 12
    hw_ver = 13
    sw_ver = 14
    SN = 15
    NPP = 16
    Rs = 17
    LS = 18
    Flux = 19
    Gr = 20
    PMAX = 21
    VMAX = 22
    TMAX = 23
    I_BW = 24
    KP_ASR = 25
    KI_ASR = 26
    KP_APR = 27
    KI_APR = 28
    OV_Value = 29
    GREF = 30
    Deta = 31
    V_BW = 32
    IQ_c1 = 33
    VL_c1 = 34
    can_br = 35
    sub_ver = 36
    @property
    def is_float(self) -> bool:
        """Whether the register holds a 32-bit float."""
    @property
    def writable(self) -> bool:
        """Whether the register may be written."""
