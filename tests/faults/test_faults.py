"""Storage fault loops: every storage call of a commit, a vacuum, a repair,
clear() and a recovering open is failed in turn (see fault_cases.py).

Needs the fault-injection build of the module (scripts/reliability.sh
builds it in build/fault and runs these tests against it); against a
normal build the whole file is skipped. ORVI_FAULT_LONG=1 adds the second
errno to every operation and a commit of a large transaction.
"""

import errno
import json
import os
import subprocess
import sys

import pytest

import orvi

pytestmark = pytest.mark.skipif(
    not orvi._BUILT_WITH_FAULT_INJECTION,
    reason="needs the module built with ORVI_FAULT_INJECTION",
)

HERE = os.path.dirname(os.path.abspath(__file__))
LONG = os.environ.get("ORVI_FAULT_LONG") == "1"

OPS = ["commit", "vacuum_pending", "vacuum", "repair", "clear", "recover"]
CASES = [(op, errno.EIO) for op in OPS] + [
    (op, errno.ENOSPC) for op in (OPS if LONG else ["commit", "clear"])
]
if LONG:
    CASES += [("commit_large", errno.EIO), ("commit_large", errno.ENOSPC)]

# Generous: a hang shows up as a timeout, not as a stuck test run.
TIMEOUT = 1800 if LONG else 600


def run_worker(op, err, workdir):
    spec = json.dumps({"op": op, "errno": err, "dir": str(workdir)})
    proc = subprocess.run(
        [sys.executable, os.path.join(HERE, "fault_cases.py"), "worker", spec],
        capture_output=True, text=True, timeout=TIMEOUT,
    )
    records = [json.loads(line) for line in proc.stdout.splitlines() if line.startswith("{")]
    return proc, records


@pytest.mark.parametrize("op,err", CASES, ids=[f"{o}-{errno.errorcode[e]}" for o, e in CASES])
def test_every_failing_storage_call_leaves_old_or_new_state(op, err, tmp_path):
    proc, records = run_worker(op, err, tmp_path)
    assert proc.returncode == 0, (
        f"worker exited with status {proc.returncode} after "
        f"{records[-1] if records else 'no output'}\n{proc.stderr[-3000:]}"
    )
    summary = records[-1]
    assert summary.get("summary"), proc.stderr[-3000:]
    cases = [r for r in records if "nth" in r]
    assert summary["calls"] > 0
    bad = [r for r in cases if r["problems"]]
    assert not bad, "\n".join(json.dumps(r)[:2000] for r in bad[:10])
    # Every N up to the count failed the operation; one beyond it did not.
    last = max(r["nth"] for r in cases)
    assert last == summary["calls"] + 1
    assert all(r["raised"] for r in cases
               if r["nth"] <= summary["calls"] - summary["absorbed"])
    assert not any(r["raised"] for r in cases if r["nth"] == last and r["mode"] != "sticky")
    report = os.environ.get("ORVI_FAULT_REPORT")
    if report:
        with open(report, "a") as f:
            f.write(json.dumps(summary) + "\n")


def test_arming_validates_its_arguments():
    with pytest.raises(ValueError):
        orvi._fault_arm(1, ops="write,sync")
    with pytest.raises(ValueError):
        orvi._fault_arm(1, errno=0)
    with pytest.raises(OverflowError):
        orvi._fault_arm(-1)
    with pytest.raises(TypeError):
        orvi._fault_arm(1, ops=b"write")
    orvi._fault_disarm()


def test_counting_selects_kinds_and_failing_names_the_errno(tmp_path):
    db = orvi.open(str(tmp_path / "g.db"))
    try:
        db.add_node(["A"], x=1)
        orvi._fault_arm(0, ops="flush")
        db.commit()
        assert orvi._fault_calls() == 4  # log, header, home pages, header
        db.add_node(["A"], x=2)
        orvi._fault_arm(1, errno=errno.ENOSPC, ops="flush")
        with pytest.raises(OSError) as info:
            db.commit()
        assert os.strerror(errno.ENOSPC) in str(info.value)
        orvi._fault_disarm()
        db.commit()
        assert db.node_count() == 2
    finally:
        orvi._fault_disarm()
        db.close()
