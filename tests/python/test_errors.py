import textwrap

import pytest
import qernx
from conftest import RSS_MB, run_python

PARSE = "Error occured with parsing tuple 0\n"
NOT_LIST = "Error occured with PyList_Check 0\n"
NOT_INT = "Error occured with PyLong_Check\n"
OVERFLOW = "Error occured, overflow on input\n"

SOLVE_ERRORS = [
    pytest.param((), TypeError, PARSE, id="no argument"),
    pytest.param(([1], [2]), TypeError, PARSE, id="two arguments"),
    pytest.param(((1, 2),), TypeError, NOT_LIST, id="tuple"),
    pytest.param((None,), TypeError, NOT_LIST, id="None"),
    pytest.param(([1, "2"],), TypeError, NOT_INT, id="str element"),
    pytest.param(([1, 2.0],), TypeError, NOT_INT, id="float element"),
    pytest.param(([-1],), OverflowError, "", id="negative element"),
    pytest.param(([5, 2**64],), OverflowError, "", id="element of 2**64"),
    pytest.param(([2**63, 2**63],), OverflowError, OVERFLOW, id="total overflows"),
    pytest.param(([2**64 - 1, 1],), OverflowError, OVERFLOW, id="total overflows by one"),
    pytest.param(([2**63],), MemoryError, "", id="words cannot be allocated"),
]


@pytest.mark.usefixtures("local")
@pytest.mark.parametrize(("args", "error", "printed"), SOLVE_ERRORS)
def test_bad_solve_calls_raise_and_leave_the_module_usable(capfd, args, error, printed):
    with pytest.raises(error):
        qernx.complete_subset_sum(*args)
    assert capfd.readouterr().out == printed
    assert qernx.complete_subset_sum([1, 2]) == [15]


BYTES_ERRORS = [
    pytest.param((), {}, TypeError, PARSE, id="no argument"),
    pytest.param(([1], [2]), {}, TypeError, PARSE, id="two arguments"),
    pytest.param(([1], 2), {}, TypeError, PARSE, id="threads given by position"),
    pytest.param(([1],), {"thread": 2}, TypeError, PARSE, id="unknown keyword"),
    pytest.param((), {"threads": 2}, TypeError, PARSE, id="threads without items"),
    pytest.param(([1],), {"threads": "2"}, TypeError, PARSE, id="threads a str"),
    pytest.param(([1],), {"threads": 2.0}, TypeError, PARSE, id="threads a float"),
    pytest.param(([1],), {"threads": 0}, ValueError, PARSE, id="threads 0"),
    pytest.param(([1],), {"threads": -(2**70)}, ValueError, PARSE, id="threads below -2**63"),
    pytest.param(((1, 2),), {"threads": 2}, TypeError, NOT_LIST, id="tuple"),
    pytest.param(([1, "2"],), {"threads": 2}, TypeError, NOT_INT, id="str element"),
    pytest.param(([2**63, 2**63],), {}, OverflowError, OVERFLOW, id="total overflows"),
]


# The bytes call reports its arguments as the list call does, threads=
# among them, and stays usable.
@pytest.mark.parametrize(("args", "kwargs", "error", "printed"), BYTES_ERRORS)
def test_bad_bytes_calls_print_the_parse_diagnostic_and_raise(capfd, args, kwargs, error, printed):
    with pytest.raises(error):
        qernx.complete_subset_sum_bytes(*args, **kwargs)
    assert capfd.readouterr().out == printed
    assert qernx.complete_subset_sum_bytes([1, 2], threads=2) == (15).to_bytes(8, "little")


# The other three calls take their arguments by position only: the
# interpreter refuses a keyword before the call runs, so nothing is printed,
# and nothing is solved (a callback given by keyword is never called).
@pytest.mark.parametrize(
    ("call", "args", "kwargs"),
    [
        pytest.param(qernx.complete_subset_sum, (), {"items": [1]}, id="list call"),
        pytest.param(
            qernx.complete_subset_sum_async, ([1],), {"callback": print}, id="background call"
        ),
        pytest.param(qernx.subset_sum_result_check, ([3],), {"s": 0}, id="result check"),
    ],
)
def test_keywords_to_the_positional_calls_are_refused_silently(capfd, call, args, kwargs):
    with pytest.raises(TypeError, match="keyword"):
        call(*args, **kwargs)
    assert capfd.readouterr().out == ""


CHECK_ERRORS = [
    pytest.param(([1],), TypeError, PARSE, id="one argument"),
    pytest.param(([1], "x"), TypeError, PARSE, id="sum not an int"),
    pytest.param(((1,), 0), TypeError, NOT_LIST, id="tuple"),
    pytest.param(([1, "x"], 64), TypeError, NOT_INT, id="str word"),
    pytest.param(([1, 2.0], 127), TypeError, NOT_INT, id="float word"),
    pytest.param(([-1], 0), OverflowError, "", id="negative word"),
    pytest.param(([0, 2**64], 70), OverflowError, "", id="word of 2**64"),
]


@pytest.mark.parametrize(("args", "error", "printed"), CHECK_ERRORS)
def test_bad_check_calls_raise(capfd, args, error, printed):
    with pytest.raises(error):
        qernx.subset_sum_result_check(*args)
    assert capfd.readouterr().out == printed


def test_online_failure_raises_connection_error_with_the_solver_text(monkeypatch, capfd):
    monkeypatch.delenv("QERN_KILLSWITCH", raising=False)
    with pytest.raises(ConnectionError) as raised:
        qernx.complete_subset_sum([3, 5])
    message = str(raised.value)
    assert message
    assert f"Error occured {message}\n" in capfd.readouterr().out


def test_diagnostics_come_in_order_with_python_output():
    result = run_python(
        """
        import qernx
        for bad in ((1, 2), [1, "x"], [2**63, 2**63]):
            print("call")
            try:
                qernx.complete_subset_sum(bad)
            except (TypeError, OverflowError) as error:
                print(type(error).__name__)
        """,
        env_extra={"QERN_KILLSWITCH": "1"},
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == (
        "call\n" + NOT_LIST + "TypeError\n"
        "call\n" + NOT_INT + "TypeError\n"
        "call\n" + OVERFLOW + "OverflowError\n"
    )


@pytest.mark.memory_growth
def test_refused_calls_do_not_leak():
    # Each refused call converts 200,000 items first: a leaked item array
    # would grow the process by 1.6 MB per call.
    result = run_python(
        RSS_MB
        + textwrap.dedent(
            """
        import qernx
        bad = [[1] * 200_000 + ["x"], [1] * 200_000 + [-1], [2**63] * 200_000]
        for _ in range(20):
            for items in bad:
                try: qernx.complete_subset_sum(items)
                except (TypeError, OverflowError): pass
        start = rss_mb()
        for _ in range(100):
            for items in bad:
                try: qernx.complete_subset_sum(items)
                except (TypeError, OverflowError): pass
        print(rss_mb() - start)
        """
        ),
        env_extra={"QERN_KILLSWITCH": "1"},
    )
    assert result.returncode == 0, result.stderr
    growth_mb = float(result.stdout.strip().splitlines()[-1])
    assert growth_mb < 20
