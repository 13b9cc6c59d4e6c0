"""A stand-in for qernx's remote solver service, in the standard library only.

Speaks the service's HTTPS protocol: POST /v0/app/sspu takes a problem and
answers {"requestId":"..."}; GET /v0/result?requestId=... answers
{"message":"Result not ready"} until the problem is solved, then the gzip
stream of the sums bitset. Problems are solved with qernx's own local solver.

Run it with `python -m qernx_service --help`.
"""

from .protocol import MAX_BODY_BYTES, MAX_TOTAL, Refusal, parse_problem, result_payload
from .server import ServiceServer, make_tls_context
from .store import ResultStore

__all__ = [
    "MAX_BODY_BYTES",
    "MAX_TOTAL",
    "Refusal",
    "ResultStore",
    "ServiceServer",
    "make_tls_context",
    "parse_problem",
    "result_payload",
]
