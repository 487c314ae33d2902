"""The cyclic garbage collector for a run of the command line.

A run builds and drops one large tree after another, while what lives
through the run (the modules, the host's classes, the rules) stays the same.
With the interpreter's defaults the collector passes over the trees of the
file at hand again and again, and its older generations over everything the
imports made. For the run, what is alive when it starts is frozen (never
examined again; worker processes forked during the run inherit this), and
the youngest generation is collected after many more allocations: the trees
hold no reference cycles of their own, so little is found either way, and
the garbage that does form cycles is bounded by the larger threshold.
Both settings are put back when the run ends, for a caller that runs
`main` in its own process."""
import contextlib
import gc

# Allocations between collections of the youngest generation, and
# collections of each generation between collections of the next.
RUN_THRESHOLDS = (100000, 20, 1000)


@contextlib.contextmanager
def tuned():
    """The collector set for a run while the block runs; restored after."""
    old = gc.get_threshold()
    # Objects frozen before (by the caller, or by 3.12's start-up) cannot be
    # told from the run's: then what the run froze stays frozen.
    thaw = gc.get_freeze_count() == 0
    gc.freeze()
    gc.set_threshold(*RUN_THRESHOLDS)
    try:
        yield
    finally:
        gc.set_threshold(*old)
        if thaw:
            gc.unfreeze()
