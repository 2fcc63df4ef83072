import sys

from talvex_csi.cli import main

sys.exit(main())
