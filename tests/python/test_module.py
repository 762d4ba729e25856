"""What Python sees of the module and the class, and PanicException itself."""

import importlib
import os
import subprocess
import sys
import textwrap

import pytest

import tolvane
from conftest import raises_panic


def test_module_attributes():
    assert tolvane.__all__ == ["Data", "load_from_file"]
    assert tolvane.__doc__ == ""
    assert [name for name in vars(tolvane) if not name.startswith("__")] == ["Data", "load_from_file"]


def test_data_class_surface():
    Data = tolvane.Data
    assert (Data.__name__, Data.__qualname__, Data.__module__) == ("Data", "Data", "builtins")
    assert Data.__doc__ is None
    assert Data.__bases__ == (object,)
    assert [m for m in vars(Data) if not m.startswith("__")] == ["train", "encode", "decode", "vocab"]


@pytest.mark.parametrize(
    "name, signature",
    [
        ("train", "($self, train_file, print_logs, logs_file)"),
        ("encode", "($self, st)"),
        ("decode", "($self, tokens)"),
        ("vocab", "($self)"),
    ],
)
def test_method_signatures(name, signature):
    method = getattr(tolvane.Data, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ is None


def test_load_from_file_is_a_module_function():
    f = tolvane.load_from_file
    assert f.__name__ == "load_from_file"
    assert f.__module__ == "tolvane"
    assert f.__self__ is tolvane
    assert f.__text_signature__ == "(filename)"
    assert f.__doc__ is None


@pytest.mark.parametrize(
    "make", [lambda: tolvane.Data(), lambda: tolvane.Data(1, x=2), lambda: tolvane.Data.__new__(tolvane.Data)]
)
def test_no_constructor(make):
    with pytest.raises(TypeError, match="^No constructor defined$"):
        make()


def test_object_new_cannot_bypass_the_refusal():
    with pytest.raises(TypeError):
        object.__new__(tolvane.Data)


def test_not_subclassable():
    with pytest.raises(TypeError):

        class Sub(tolvane.Data):
            pass


def test_reimport_gives_the_same_module():
    original = sys.modules.pop("tolvane")
    try:
        again = importlib.import_module("tolvane")
        assert again is original
        assert again.Data is original.Data
    finally:
        sys.modules["tolvane"] = original


def _run_in_subinterpreter(code):
    try:
        import _testcapi
    except ImportError:
        _testcapi = None
    if _testcapi is not None and hasattr(_testcapi, "run_in_subinterp"):
        return _testcapi.run_in_subinterp(code)
    try:
        import _xxsubinterpreters as interpreters
    except ImportError:
        pytest.skip("no way to start a subinterpreter here")
    interp = interpreters.create()
    try:
        interpreters.run_string(interp, code)
    finally:
        interpreters.destroy(interp)
    return 0


def test_subinterpreter_import_is_refused(tmp_path):
    out = tmp_path / "result"
    code = textwrap.dedent(
        f"""
        try:
            import tolvane
        except ImportError as e:
            result = "ImportError: " + str(e)
        except BaseException as e:
            result = "other: " + repr(e)
        else:
            result = "imported"
        with open({str(out)!r}, "w") as f:
            f.write(result)
        """
    )
    _run_in_subinterpreter(code)
    result = out.read_text()
    assert result.startswith("ImportError: ")
    assert "subinterpreter" in result
    # The refusal leaves the module of the main interpreter working.
    assert tolvane.load_from_file.__self__ is tolvane


class TestPanicException:
    def test_class(self, PanicException):
        assert PanicException.__name__ == "PanicException"
        assert PanicException.__module__ == "tolvane"
        assert PanicException.__bases__ == (BaseException,)
        assert not issubclass(PanicException, Exception)
        assert "BaseException" in PanicException.__doc__
        assert not hasattr(tolvane, "PanicException")

    def test_raised_once_created_with_the_message_alone(self, PanicException, empty_data):
        with pytest.raises(BaseException) as info:
            try:
                empty_data.decode([5])
            except Exception:  # noqa: BLE001 - must not catch it
                pytest.fail("PanicException was caught as an Exception")
        assert type(info.value) is PanicException  # the same class every time
        assert info.value.args == ("This should not happend",)

    def test_report_on_standard_error_names_message_and_place(self, empty_data, capfd):
        with raises_panic():
            empty_data.decode([5])
        err = capfd.readouterr().err
        assert "This should not happend" in err
        # file:line of the failure site, then the function
        assert "src/encoding/decode.cpp:" in err
        assert "decode_tokens" in err

    def test_uncaught_panic_ends_the_interpreter(self, tmp_path):
        script = f"import tolvane\ntolvane.load_from_file({str(tmp_path / 'missing')!r})\nprint('after')\n"
        run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                             env=dict(os.environ, PYTHONPATH=":".join(sys.path)))
        assert run.returncode != 0
        assert "after" not in run.stdout
        assert "PanicException: Should work: " in run.stderr
