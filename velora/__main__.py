"""`python -m velora`: the `velora` command line."""

import sys

from velora.cli import main

if __name__ == "__main__":
    sys.exit(main())
