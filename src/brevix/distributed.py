"""The earlier name of :mod:`brevix.cluster`, kept so that code importing
``brevix.distributed`` goes on working: it is the same module object."""

import sys

from brevix import cluster

sys.modules[__name__] = cluster
