"""A module execution that fails part-way: the exception and traceback entry
of each step, the clean-up of the module reference and of the registration
under "vantel.color.color", and a second import in the same process that
starts afresh and gives a fully working Color.

The failures come from a test build of the module (compile definition
VANTEL_COLOR_TEST_HOOKS), in which the environment variable
VANTEL_COLOR_FAIL_EXEC_STEP=N makes exec step N raise RuntimeError. The build
(the fixture `hook_site`), one of the test suite's native builds, is loaded
in fresh interpreters through PYTHONPATH.
"""

import os

import pytest

from support import EXEC_ENTRY, EXEC_REDUCE_ENTRY, EXEC_SETSTATE_ENTRY, WORKING, run_scenario

pytestmark = pytest.mark.sweep

FAIL_STEP = "VANTEL_COLOR_FAIL_EXEC_STEP"
# What the import that follows a failed one gives: a new module object from
# the hook build, with the same Color if the failed one had made it, working.
IMPORTED_AFTER = {"file_in_site": True, "new_object": True, "same_type": True, "works": WORKING}


def run_with_hooks(site, name, *args, fail_step):
    """Runs the scenario `name` in a fresh interpreter that imports vantel
    from `site`, with exec step `fail_step` failing."""
    env = dict(os.environ, **{FAIL_STEP: str(fail_step)})
    return run_scenario(name, site, *args, site=site, env=env)


def expected_entries(step):
    if step <= 5:
        return []
    if step == 15:
        return [list(EXEC_REDUCE_ENTRY)]
    if step == 16:
        return [list(EXEC_SETSTATE_ENTRY)]
    return [list(EXEC_ENTRY)]


@pytest.mark.parametrize("step", range(3, 18))
def test_failed_exec_then_a_fresh_import(hook_site, step):
    result = run_with_hooks(hook_site, "exec_step_fails", fail_step=step)
    assert result["failure"] == [
        "RuntimeError",
        f"exec step {step} failed on purpose",
        expected_entries(step),
    ]
    assert result["still_registered"] is False
    assert result["created"] == 2
    assert result["second"] == IMPORTED_AFTER
    assert result["leftover"] in ([], [[1, 2, 3, 255]])


# Loaded as the top-level module `color` with step 12 failing: registration
# (step 7) has already run, so only the fixed key can hold the half-made
# module, and only if exec put it there.
@pytest.mark.parametrize("before", ["absent", "sentinel", "itself"])
def test_failed_exec_under_another_name_leaves_the_fixed_key_as_it_was(hook_site, before):
    result = run_with_hooks(hook_site, "exec_step_fails_other_name", before, fail_step=12)
    assert result["message"] == "exec step 12 failed on purpose"
    assert result["name"] == "color"
    assert result["entry"] == before
    assert result["second"] == IMPORTED_AFTER


# Every attempt of an exec retried after a failure at step 12, with each of
# its allocations failing in turn, ends in MemoryError or at step 12, and the
# import that follows gives a working Color that publishes its native
# interface.
def test_exec_retried_under_allocation_failure(hook_site, injector_path):
    result = run_with_hooks(hook_site, "exec_under_allocation_failure", injector_path, fail_step=12)
    on_purpose = "exec step 12 failed on purpose"
    outcomes = result["outcomes"]
    assert set(outcomes) == {"MemoryError", on_purpose}
    assert outcomes.count("MemoryError") >= 10
    assert outcomes[-1] == on_purpose  # the sweep went past the last allocation
    assert result["leftover_works"] is True
    assert result["second"] == IMPORTED_AFTER
    assert result["version"] == 1
    assert result["table"] == "PyCapsule"
