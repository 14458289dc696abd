#!/usr/bin/env python3
"""Start the local voice server: python3 testserver/server.py [--port 8767] [--config FILE] ..."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from orlaserver.app import main  # noqa: E402

if __name__ == "__main__":
    sys.exit(main())
