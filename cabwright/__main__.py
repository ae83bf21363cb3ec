import sys

from cabwright.cli import main

sys.exit(main())
