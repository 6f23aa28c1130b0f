"""``python -m rotalink_sim IFACE ...``: run the motor simulator (see ``--help``)."""

import sys

from rotalink_sim.cli import main

if __name__ == "__main__":
    sys.exit(main())
