import ast
import inspect
import pydoc
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
import qernx

EXPORTED = {
    "PyInit_qernx",
    "webinterface_complete_subset_sum",
    "webinterface_complete_subset_sum_async",
    "webinterface_subset_sum_result_check",
    "webinterface_complete_subset_sum_bytes",
    "keep_local",
    "fetch_complete_subset_sum",
    "fetch_complete_subset_sum_async",
    "fetch_complete_subset_sum_async_helper",
    "fmss_complete_subset_sum",
    "qern_local_solve",
    "qern_settings_from_environment",
    "qern_settings_free",
    "qern_solve",
    "qern_solve_async",
    "find_new_sums",
    "add_new_sums",
    "update",
    "fmss_read",
    "empty_sized_ar",
    "one_item_sized_ar",
    "union_sized_ar",
    "print_sized_ar",
    "_online_fetch_complete_subset_sum",
    "_generate_slist",
    "_generate_curl_data",
    "_curl_ca_location",
    "_curl_transient_err",
    "_safe_copy_to_err_buff",
    "make_request_write_callback",
    "gunzip",
    "_unzip_data",
}


def test_module_exports_exactly_its_c_interface():
    nm = shutil.which("nm")
    assert nm, "nm (binutils) is needed to list the module's symbols"
    out = subprocess.run(
        [nm, "-D", "--defined-only", qernx.__file__], capture_output=True, text=True, check=True
    ).stdout
    symbols = {line.split()[-1] for line in out.splitlines() if line.strip()}
    assert symbols == EXPORTED


def test_methods_and_docstrings():
    assert qernx.complete_subset_sum.__doc__ == "Run complete subset sum"
    assert qernx.complete_subset_sum_async.__doc__ == "Run complete subset sum"
    assert (
        qernx.subset_sum_result_check.__doc__
        == "Check for a specific int in the results of subset sum"
    )
    assert qernx.__doc__ is None


def test_keywords_are_refused():
    with pytest.raises(TypeError):
        qernx.complete_subset_sum(items=[1])


def test_mypy_finds_the_installed_stubs(tmp_path):
    pytest.importorskip("mypy")
    sample = tmp_path / "sample.py"
    sample.write_text(
        textwrap.dedent(
            """
            import qernx
            words: list[int] = qernx.complete_subset_sum([1, 2])
            hit: bool | None = qernx.subset_sum_result_check(words, 3)
            qernx.complete_subset_sum("not a list")
            """
        )
    )
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--no-incremental", "--python-version", "3.11", str(sample)],
        capture_output=True,
        text=True,
        cwd=tmp_path,
    )
    # The one bad call is reported, which only happens when the stubs are found.
    assert 'Argument 1 to "complete_subset_sum" has incompatible type "str"' in result.stdout
    assert "Found 1 error" in result.stdout, result.stdout


def stub_parameters():
    """Each function's parameters as the stubs declare them: (name, kind, default) in order,
    the default as source text (None when there is none)."""
    stubs = Path(__file__).resolve().parents[2] / "stubs" / "qernx-stubs" / "__init__.pyi"
    tree = ast.parse(stubs.read_text())
    parameters = {}
    for node in tree.body:
        if not isinstance(node, ast.FunctionDef):
            continue
        arguments = node.args
        assert not arguments.args and arguments.vararg is None and arguments.kwarg is None
        listed = [(a.arg, inspect.Parameter.POSITIONAL_ONLY, None) for a in arguments.posonlyargs]
        for argument, default in zip(arguments.kwonlyargs, arguments.kw_defaults):
            text = None if default is None else ast.unparse(default)
            listed.append((argument.arg, inspect.Parameter.KEYWORD_ONLY, text))
        parameters[node.name] = listed
    return parameters


@pytest.mark.parametrize("name", sorted(stub_parameters()))
def test_signatures_agree_with_the_stubs(name):
    signature = inspect.signature(getattr(qernx, name))
    found = [
        (
            parameter.name,
            parameter.kind,
            None if parameter.default is inspect.Parameter.empty else repr(parameter.default),
        )
        for parameter in signature.parameters.values()
    ]
    assert found == stub_parameters()[name]
    assert f"{name}{signature}" in pydoc.render_doc(qernx, renderer=pydoc.plaintext)


def test_the_stubs_declare_keyword_only_threads():
    # The check above compares kinds; this keeps it from passing vacuously.
    kinds = {kind for listed in stub_parameters().values() for _, kind, _ in listed}
    assert kinds == {inspect.Parameter.POSITIONAL_ONLY, inspect.Parameter.KEYWORD_ONLY}


def test_every_method_has_a_stub():
    methods = {name for name in dir(qernx) if not name.startswith("_")}
    assert methods == set(stub_parameters())
