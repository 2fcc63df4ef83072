import sys

from talvex_csi import main

sys.exit(main())
