"""Self-play: a run of games and everything it is made of. Owns the search settings (``config``),
a run's settings (``options``), the run as an object (``run``: start the service, wait until it is
ready, deal games, collect records, stop on Ctrl-C, SIGTERM or faults), the batched inference
service (``service``) and the worker processes (``worker``) with what both do first as children
(``process``), the exchange's endpoints and frames (``wire``) and its floor measurement
(``floor``), the Ray layer (``cluster`` and ``node_runner``, imported only with ``--cluster``)
and the ``selfplay`` command (``command``). It may import ``evaluators``, ``records``,
``errors``, ``streams``, the native modules and, in ``cluster`` and ``node_runner`` only, ray.
"""
