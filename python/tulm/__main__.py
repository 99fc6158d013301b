"""python -m tulm: the tulm command."""

import sys

from ._cli import main

sys.exit(main())
