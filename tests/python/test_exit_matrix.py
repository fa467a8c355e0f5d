"""Every lifecycle of the exit matrix (exit_matrix.py) ends cleanly: the
status plain Python gives for that way out, nothing on stderr the program
did not cause, no hang. Exit crashes are races, so each case runs a few
times here; tools/exit_soak.py runs them hundreds of times."""

import pytest

from exit_matrix import CASES, run_case

RUNS = 3


@pytest.mark.parametrize("case", CASES, ids=[c.name for c in CASES])
def test_exit_is_clean(case):
    bad = [why for why in (run_case(case) for _ in range(RUNS)) if why]
    assert not bad, f"{len(bad)} of {RUNS} runs: {bad[0]}"
