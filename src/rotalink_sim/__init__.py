"""rotalink_sim: simulated Damiao DM-series motors on a Linux SocketCAN bus.

The motor side of the protocol that ``rotalink`` speaks as the host: each
simulated motor takes commands on standard identifier ``motor_id & 0x7FF``
(enable, disable, set zero, clear error and MIT impedance commands) and the
commands of its other control modes at offsets 0x100 (POS_VEL), 0x200 (VEL)
and 0x300 (FORCE_POS) from it (``rotalink_sim.model.WIRE``), answers every
command and every refresh request with an 8-byte feedback frame from
``master_id & 0x7FF``, and serves reads and writes of the firmware's whole
register map on identifier 0x7FF (``rotalink_sim.model.REGISTERS``: register
10 is the control mode, PMAX/VMAX/TMAX scale the MIT codec; a write outside a
register's documented range is refused; SN is each motor's own). The special
commands are also taken on the identifier of the motor's mode, and with
``--legacy-special`` (older firmware), outside MIT mode, only there. Classic
and CAN FD frames are taken alike. Fault options make it answer late, wrongly or not
at all, and ``--register`` starts it misconfigured, so the host's reply
matching, time-outs and checks can be tested.

The feedback reports the firmware's status code: 0 disabled, 1 enabled, or
the code of an active fault (``FAULTS``: 8 over-voltage .. 14 overload). A
fault (``--fault NAME[@SECONDS]``, from the start or tripping later) disables
the motor and refuses enables until the clear-error command, which leaves it
disabled. Register 9 (TIMEOUT, units of 50 us, 0 off) is the communication
watchdog: an enabled motor that hears no command or refresh for that long
trips fault 13 (communication lost) the same way.

Motor model (see ``rotalink_sim.model``): while enabled in MIT mode the torque
is ``clamp(kp*(q_des-q) + kd*(dq_des-dq) + tau_ff, +-t_max)`` driving a rigid
rotor ``J*ddq = torque - b*dq`` (J = 0.002, b = 0.01), integrated in 1 ms
substeps over the time since the previous command (at most 50 ms); in the
other modes a velocity loop tracks the commanded velocity (VEL) or moves to
the commanded position within the velocity limit (POS_VEL, FORCE_POS, the
latter within its torque limit too). A motor follows only the command kind of
its control mode; without a target the torque is 0 and the rotor coasts down.

Run it as ``rotalink-sim IFACE ...`` or ``python -m rotalink_sim IFACE ...``
in its own process (``spawn`` does that for tests; ``--background`` returns
once it is ready and leaves it running), or use ``Simulator`` directly::

    from rotalink_sim import Simulator, Motor
    sim = Simulator("vcan0", [Motor(motor_id=1, master_id=0x11, model="dm4310")])
    sim.serve_forever()          # until sim.stop()

``Simulator.handle_frame(can_id, data)`` handles one frame without a socket
and returns the frames to send, which is what the unit tests use.
"""

from .codec import (
    DEFAULT_LIMITS,
    PRESETS,
    Command,
    Feedback,
    Limits,
    decode_command,
    decode_feedback,
    encode_command,
    encode_feedback,
    f32,
)
from .model import CONTROL_MODES, FAULTS, REGISTERS, Motor
from .sim import Simulator, Tx
from .process import SimProcess, SimulatorNotReady, spawn

__all__ = [
    "CONTROL_MODES",
    "Command",
    "DEFAULT_LIMITS",
    "FAULTS",
    "Feedback",
    "Limits",
    "Motor",
    "PRESETS",
    "REGISTERS",
    "SimProcess",
    "Simulator",
    "SimulatorNotReady",
    "Tx",
    "decode_command",
    "decode_feedback",
    "encode_command",
    "encode_feedback",
    "f32",
    "spawn",
]
