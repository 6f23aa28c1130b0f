"""``python -m rotalink_scan IFACE``: find the motors on a CAN interface."""
import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
