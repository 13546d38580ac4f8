"""Benchmarks of quorvan_core, run by ``bash bench/run.sh`` (never by pytest).

Each benchmark is one module of this package with a ``run(workdir, quick)``
function returning a ``Section``; ``python -m bench`` runs them all and
writes bench/RESULTS.md. To add one, write the module and list it in
``BENCHMARKS`` in ``__main__.py``.
"""
