"""The far end velmara-run and the tests start: token in the environment, an early exit told at once."""

import secrets

import pytest

import com_like
from velmara_master.python_server.velmara.kernel import Kernel
from velmara_master.python_server.velmara.kernel.farend import (
    FarEndExited,
    far_end_command,
    start_far_end,
    wait_for_far_end,
)

# No wait here ends by a time-out: an early exit must be told as one.
LONG = 3600


@pytest.mark.parametrize("token", ["-" + secrets.token_urlsafe(32), "--token", "plain_token.1~"])
def test_any_token_reaches_the_far_end_and_none_is_on_its_command_line(token):
    with Kernel(token=token) as kernel:
        assert not any(token in argument for argument in far_end_command(kernel))
        far = start_far_end(kernel)
        try:
            wait_for_far_end(kernel, far, LONG)
            assert not any(token in argument for argument in far.process.args)
            assert com_like.Context.workbook.worksheets.getItem("Sheet1").name == "Sheet1"
        finally:
            far.stop()
            far.stop()  # idempotent
    assert far.process.returncode is not None


@pytest.mark.parametrize("extra, says", [
    (["--watchdog", "never"], "--retry-for and --watchdog take a number of seconds"),
    (["--token", "abc"], "the token is not taken from the command line"),
    (["--no-such-option"], "no-such-option"),
])
def test_a_far_end_that_exits_before_connecting_is_told_with_status_and_output(extra, says):
    with Kernel() as kernel:
        far = start_far_end(kernel, extra_args=extra)
        try:
            with pytest.raises(FarEndExited) as info:
                wait_for_far_end(kernel, far, LONG)
        finally:
            far.stop()
    assert info.value.status == 2
    assert says in info.value.output and says in str(info.value)
