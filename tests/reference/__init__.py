"""Plain Python renditions of what the kit's native fast paths do.

One module per subsystem with a fast path: each is written as ordinary
Python, step by step, in the order the kit's own documentation gives.  The
differential tests run the kit and its rendition side by side and compare
what a program can see; the benchmarks use the same renditions as their
baselines, so a speed-up is always measured against the behaviour it must
keep.
"""
