"""Stand-in for the cloud service's HTTP API v1, used by the library's end-to-end tests and the demo."""

from .certs import Pki, make_test_pki
from .plain import PlainListener
from .standin import DEFAULT_CONSTANTS, StandIn, load_constants

__all__ = ["StandIn", "make_test_pki", "Pki", "load_constants", "DEFAULT_CONSTANTS", "PlainListener"]
