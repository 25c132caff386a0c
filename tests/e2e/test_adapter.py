"""The central controller switched off before the tool starts."""

import pytest

from expect import assert_clean_exit, assert_output
from scenarios import ADAPTER_OFF


@pytest.mark.parametrize("run_name", ["scan", "dfu", "identity"])
def test_powered_off_adapter_is_reported(vm, run_name):
    r = vm(ADAPTER_OFF)
    run = r.run(run_name)
    assert_output(r, run, [{"error": "adapter-unavailable"}])
    assert_clean_exit(r, run)
