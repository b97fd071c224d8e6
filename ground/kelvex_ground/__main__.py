import sys

from .station import main

sys.exit(main())
