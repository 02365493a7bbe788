"""Hostile-input fuzz target for tavik.tavik (run it as `python tools/fuzz`).

surface: the public surface the cases work on and the known crash families;
generator: one case from (seed, index); child: runs batches of cases on one
application; parent: watches the children, minimises and writes reproducers.
"""
