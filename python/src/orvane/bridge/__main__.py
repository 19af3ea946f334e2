import sys

from orvane.bridge.cli import main

sys.exit(main())
