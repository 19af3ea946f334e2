import sys

from orvane.demo.cli import main

sys.exit(main())
