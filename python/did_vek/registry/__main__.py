"""python -m did_vek.registry: run a registry server; the same as `did-vek serve`, with its options."""

import sys

from ..cli import main

if __name__ == "__main__":
    sys.exit(main(["serve", *sys.argv[1:]]))
