"""``python -m quorvex``: the command line."""

import sys

from quorvex.cli import main

sys.exit(main())
