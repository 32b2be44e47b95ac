"""python -m did_vek: the did-vek command."""

import sys

from .cli import main

sys.exit(main())
