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
# Float parameters also take ints and any object with __float__ or __index__.
from typing import Iterable, List, Optional, Sequence, Tuple, Union, final

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
]

__version__: str

@final
class MitLimits:
    def __new__(
        cls,
        p_max: float = 12.5,
        v_max: float = 30.0,
        kp_max: float = 500.0,
        kd_max: float = 5.0,
        t_max: float = 10.0,
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
        q: float = 0.0,
        dq: float = 0.0,
        kp: float = 0.0,
        kd: float = 0.0,
        tau: float = 0.0,
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
        motor_id: int,
        master_id: int,
        limits: Optional[MitLimits] = None,
        timeout_ms: int = 20,
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

def mit_setpoint(
    q: float = 0.0,
    dq: float = 0.0,
    kp: float = 0.0,
    kd: float = 0.0,
    tau: float = 0.0,
) -> MitSetpoint:
    """Build a `MitSetpoint` (handy when keyword args are awkward)."""

# A member is a (bus, motor) pair; a 2-list is taken as well as a 2-tuple.
_Member = Union[Tuple[SocketCanTransport, Damiao], List[Union[SocketCanTransport, Damiao]]]

@final
class MotorGroup:
    def __new__(
        cls,
        members: Iterable[_Member],
        timeout_ms: int = 20,
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
