"""``python -m kestrix_sdk <command>``: the operator tool (see kestrix_sdk.cli)."""

import sys

from kestrix_sdk.cli import main

if __name__ == "__main__":
    sys.exit(main())
