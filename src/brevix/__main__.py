"""``python -m brevix``: the command line (see brevix.cli)."""

import sys

from brevix.cli import main

if __name__ == "__main__":
    sys.exit(main())
