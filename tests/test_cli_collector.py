"""The collector's settings for a run of the command line: set while the
files are processed (in worker processes too), put back after any end."""
import gc
import os

import pytest

from combined_source.utils import cli, rewrite_source
from combined_source.utils.cli import collector, pool

SRC = "x = torch.Tensor(a, requires_grad=True)\n"


@pytest.fixture
def collector_state():
    """Known settings before the test; the process's own put back after."""
    old = gc.get_threshold()
    gc.set_threshold(700, 10, 10)
    gc.unfreeze()  # 3.12 may start with objects frozen
    yield
    gc.set_threshold(*old)
    gc.unfreeze()


def _seen(tmp_path, fault=None):
    """A process_file that writes what the collector is set to in the
    process running it (a worker's too) into tmp_path, then fails with
    `fault` or processes the file."""
    real = pool.process_file

    def spying(job, settings, abortable):
        with open(os.path.join(str(tmp_path), "seen-%d" % os.getpid()), "w") as f:
            f.write(repr((gc.get_threshold(), gc.get_freeze_count() > 0)))
        if fault is not None:
            raise fault
        return real(job, settings, abortable)

    return spying


@pytest.mark.usefixtures("collector_state")
@pytest.mark.parametrize("jobs, fault, frozen_before, rc", [
    (1, None, False, 1),
    (2, None, False, 1),
    (1, KeyboardInterrupt(), False, 130),
    (1, RuntimeError("fault"), False, 123),
    (1, None, True, 1),  # a caller's own freeze stays
], ids=["serial", "workers", "interrupted", "internal error", "already frozen"])
def test_the_run_tunes_the_collector_and_puts_it_back(tmp_path, monkeypatch, jobs, fault, frozen_before, rc):
    src = tmp_path / "src"
    src.mkdir()
    for i in range(3):
        (src / ("m%d.py" % i)).write_text(SRC)
    seen = tmp_path / "seen"
    seen.mkdir()
    monkeypatch.setattr(pool, "process_file", _seen(seen, fault))
    if frozen_before:
        gc.freeze()
    assert cli.main(["--check", "-q", "-j", str(jobs), str(src)]) == rc
    assert gc.get_threshold() == (700, 10, 10)
    assert (gc.get_freeze_count() > 0) == frozen_before
    pids = [name for name in os.listdir(str(seen))]
    assert pids and all((seen / p).read_text() == repr((collector.RUN_THRESHOLDS, True)) for p in pids)
    if jobs > 1:
        assert "seen-%d" % os.getpid() not in pids  # the files were processed by workers


@pytest.mark.usefixtures("collector_state")
def test_the_library_call_leaves_the_collector_alone():
    assert rewrite_source(SRC) == "x = orb.Array(a)\n"
    assert gc.get_threshold() == (700, 10, 10) and gc.get_freeze_count() == 0
