"""qernx's solver service: HTTPS front-ends that take problems and serve their
sums bitsets, with an embedded queue or Redis-fed solver workers.

POST /v0/app/sspu takes a problem and answers {"requestId":"..."};
GET /v0/result?requestId=... answers {"message":"Result not ready"} until the
problem is solved, then the gzip stream of the sums bitset.

Run it with `python -m qernx_service --help` (or `qernx-service`).
"""
