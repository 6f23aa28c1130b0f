"""Find the Damiao motors on a CAN interface and show how each is set up.

``rotalink-scan IFACE`` (or ``python -m rotalink_scan IFACE``) reads the
MST_ID register of every command identifier it is given, all requests at
once with one time-out, then the control mode, PMAX/VMAX/TMAX and firmware
version of every motor that answered, and prints a table (or JSON) with the
matching model presets and warnings about clashing identifiers. It only ever
reads registers.

``rotalink-stop IFACE`` (``rotalink_scan.stop``) is the emergency stop: it
sends the disable command to every motor id it is given and retries each
motor that does not report itself disabled (or tripped by a fault), on its
mode's identifier too for older firmware in a non-MIT mode; ``--clear`` then
clears the faults. ``rotalink-setup IFACE ID`` (``rotalink_scan.setup_tool``)
commissions one motor.

Every identifier, command byte, register, status and bit-rate code comes from
the ``rotalink`` module; ``frames`` packs the raw socket's records.
"""

from .cli import main, parse_ids, scan
from .probe import ScanError
from .report import Motor

__all__ = ["main", "parse_ids", "scan", "ScanError", "Motor"]
