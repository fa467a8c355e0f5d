"""Socket start-up module: load-time start-up, exit-time clean-up, import guards
(the version check for the corvane module too)."""

import builtins
import ctypes
import importlib
import importlib.util
import json
import sys
import textwrap

import pytest

NAME = "vestrel.utils.brackwell.brackwell"
COMPILED = "{}.{}".format(*sys.version_info[:2])

# The POSIX socket layer is a stand-in that counts its calls; Winsock is real,
# and there its own count of start-ups is read instead: each WSACleanup
# balances one start-up, and one too many fails with WSANOTINITIALISED.
# held() drains the count and restores it.
WINSOCK_HELD = """
import ctypes
_ws2 = ctypes.WinDLL("ws2_32")
def held():
    n = 0
    while _ws2.WSACleanup() == 0:
        n += 1
    assert _ws2.WSAGetLastError() == 10093, _ws2.WSAGetLastError()
    for _ in range(n):
        assert _ws2.WSAStartup(0x0202, ctypes.create_string_buffer(1024)) == 0
    return n
"""


def socklib_var(path, name):
    return ctypes.c_int.in_dll(ctypes.CDLL(path), "vestrel_socklib_" + name)


def checked(proc):
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


# --- in this process ---------------------------------------------------------


def test_reimport_gives_same_module_and_starts_socklib_once(run_python):
    if sys.platform == "win32":
        out = checked(run_python(WINSOCK_HELD + textwrap.dedent(f"""
            import importlib, sys
            before = held()
            first = importlib.import_module({NAME!r})
            del sys.modules[{NAME!r}]
            second = importlib.import_module({NAME!r})
            print(second is first, sys.modules[{NAME!r}] is first, held() - before)
            """)))
        assert out.split() == ["True", "True", "1"]
        return
    first = importlib.import_module(NAME)
    del sys.modules[NAME]
    second = importlib.import_module(NAME)
    assert second is first
    assert sys.modules[NAME] is first
    assert socklib_var(first.__file__, "startups").value == 1
    assert socklib_var(first.__file__, "cleanups").value == 0


def test_namespace_holds_only_import_attributes_builtins_and_test():
    module = importlib.import_module(NAME)
    assert set(dir(module)) == {
        "__builtins__",
        "__doc__",
        "__file__",
        "__loader__",
        "__name__",
        "__package__",
        "__spec__",
        "__test__",
    }
    spec = module.__spec__
    assert module.__name__ == NAME
    assert module.__doc__ is None
    assert module.__builtins__ is builtins
    assert module.__test__ == {} and type(module.__test__) is dict
    # A re-import replaces __spec__ but keeps the first loader: compare by file.
    assert module.__loader__.path == spec.origin
    assert module.__file__ == spec.origin
    assert module.__package__ == spec.parent


# --- load and unload of the module file ----------------------------------------


@pytest.mark.parametrize(
    "ending",
    ["pass", "sys.exit(3)", "raise KeyError('boom')"],
    ids=["normal", "sys-exit", "uncaught"],
)
def test_cleanup_runs_once_at_exit_after_interpreter_shutdown(ending, run_python):
    if sys.platform == "win32":
        # The clean-up itself comes after anything the process can watch;
        # Python's own exit hooks must still find the one start-up held.
        out = run_python(WINSOCK_HELD + textwrap.dedent(f"""
            import atexit, importlib, os, sys
            importlib.import_module({NAME!r})
            del sys.modules[{NAME!r}]
            importlib.import_module({NAME!r})
            atexit.register(lambda: os.write(1, b"python atexit, held %d\\n" % held()))
            {ending}
            """)).stdout
        assert out == "python atexit, held 1\n"
        return
    out = run_python(
        f"""
        import atexit, ctypes, importlib, os, sys
        module = importlib.import_module({NAME!r})
        del sys.modules[{NAME!r}]
        importlib.import_module({NAME!r})
        atexit.register(os.write, 1, b"python atexit\\n")
        ctypes.c_int.in_dll(ctypes.CDLL(module.__file__), "vestrel_socklib_trace_fd").value = 1
        {ending}
        """
    ).stdout
    assert out == "python atexit\ncleanup\n"


def test_loading_the_file_starts_and_unloading_it_cleans_up(run_python):
    # Start-up belongs to the file, not to the import: a bare load starts the
    # library, and unloading the file runs the clean-up there and then.
    path = importlib.util.find_spec(NAME).origin
    if sys.platform == "win32":
        out = checked(run_python(WINSOCK_HELD + textwrap.dedent(f"""
            import _ctypes, ctypes
            counts = [held()]
            lib = ctypes.CDLL({path!r})
            counts.append(held())
            handle = lib._handle
            del lib
            _ctypes.FreeLibrary(handle)
            counts.append(held())
            print(*counts)
            """)))
        assert out.split() == ["0", "1", "0"]
        return
    out = checked(
        run_python(
            f"""
            import _ctypes, ctypes, os
            lib = ctypes.CDLL({path!r})
            counts = [ctypes.c_int.in_dll(lib, "vestrel_socklib_" + n).value
                      for n in ("startups", "cleanups")]
            os.write(1, ("%d %d\\n" % tuple(counts)).encode())
            ctypes.c_int.in_dll(lib, "vestrel_socklib_trace_fd").value = 1
            handle = lib._handle
            del lib
            _ctypes.dlclose(handle)
            os.write(1, b"unloaded\\n")
            """
        )
    )
    assert out == "1 0\ncleanup\nunloaded\n"


# --- version check -----------------------------------------------------------

# Both extension modules check the running version the same way.
VERSION_CHECKED = [pytest.param(NAME, id="brackwell"),
                   pytest.param("vestrel.utils.corvane.corvane", id="corvane")]

VERSION_SCRIPT = """
import json, sys, warnings
sys.version = VERSION_TEXT
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    import {name}
print(json.dumps([str(w.message) for w in caught if w.category is RuntimeWarning]))
"""


def mismatch(name, runtime):
    return (
        f"compile time Python version {COMPILED} of module '{name}' "
        f"does not match runtime version {runtime}"
    )


@pytest.mark.parametrize(
    "text, runtime",
    [
        ("2.7.18 (default, Apr 20 2020)", "2.7"),
        ("3.99.1", "3.99"),
        ("4", "4.0"),
        ("not a version", "0.0"),
        (f"{COMPILED}.99+ (fake build)", None),
        (COMPILED, None),
    ],
)
@pytest.mark.parametrize("name", VERSION_CHECKED)
def test_version_mismatch_warns_once(name, text, runtime, run_python):
    code = f"VERSION_TEXT = {text!r}\n" + VERSION_SCRIPT.format(name=name)
    caught = json.loads(checked(run_python(code)))
    assert caught == ([mismatch(name, runtime)] if runtime else [])


@pytest.mark.parametrize("name", VERSION_CHECKED)
def test_version_warning_as_error_fails_import_and_later_import_starts_afresh(name, run_python):
    out = checked(
        run_python(
            f"""
            import json, sys, warnings
            real = sys.version
            sys.version = "2.7.1"
            try:
                import {name}
            except RuntimeWarning as e:
                failure = str(e)
            else:
                raise AssertionError("import succeeded")
            assert {name!r} not in sys.modules
            # The running version was read once: restoring sys.version changes nothing.
            sys.version = real
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                import {name} as module
            assert sys.modules[{name!r}] is module
            assert module.__test__ == {{}}
            print(json.dumps([failure, [str(w.message) for w in caught]]))
            """,
            "-W",
            "error::RuntimeWarning",
        )
    )
    assert json.loads(out) == [mismatch(name, "2.7"), [mismatch(name, "2.7")]]


# --- create and exec steps driven directly -------------------------------------


def test_create_copies_spec_attributes_and_exec_runs_once(run_python):
    out = checked(
        run_python(
            f"""
            import _imp, importlib.util, json, sys, types

            real = importlib.util.find_spec({NAME!r})

            class Broken:
                name = "broken.brackwell"
                origin = real.origin
                @property
                def loader(self):
                    raise ValueError("no loader here")

            try:
                _imp.create_dynamic(Broken())
            except ValueError as e:
                broken = str(e)

            bare = _imp.create_dynamic(
                types.SimpleNamespace(name="a.brackwell", origin=real.origin))
            full = _imp.create_dynamic(
                types.SimpleNamespace(name="b.brackwell", origin=real.origin, loader=real.loader,
                                      parent="b", submodule_search_locations=["x"]))
            seen = {{
                "broken": broken,
                "bare": [bare.__name__, bare.__file__, bare.__loader__, bare.__package__,
                         hasattr(bare, "__path__")],
                "full": [full.__name__, full.__loader__ is real.loader, full.__package__,
                         full.__path__],
            }}

            _imp.exec_dynamic(bare)
            # Entered under its full import name, whatever name its ModuleSpec gave.
            seen["published"] = sys.modules.get({NAME!r}) is bare
            bare.__test__["mark"] = 1
            _imp.exec_dynamic(bare)
            seen["same object again"] = bare.__test__
            try:
                _imp.exec_dynamic(full)
            except RuntimeError as e:
                seen["other object"] = str(e)
            del sys.modules[{NAME!r}]
            import {NAME} as imported
            seen["reimport"] = imported is bare
            print(json.dumps(seen))
            """
        )
    )
    origin = importlib.util.find_spec(NAME).origin
    assert json.loads(out) == {
        "broken": "no loader here",
        "bare": ["a.brackwell", origin, None, None, False],
        "full": ["b.brackwell", True, "b", ["x"]],
        "published": True,
        "same object again": {"mark": 1},
        "other object": (
            "Module 'brackwell' has already been imported. Re-initialisation is not supported."
        ),
        "reimport": True,
    }


def test_import_in_a_second_interpreter_is_refused(run_python):
    # Isolated interpreters (the default from 3.12) refuse our module before it
    # runs; a legacy one shares the GIL and reaches our own guard.
    if importlib.util.find_spec("_interpreters"):
        interpreters = "_interpreters"
        create = "_interpreters.create('legacy')"
    elif importlib.util.find_spec("_xxsubinterpreters"):
        interpreters = "_xxsubinterpreters"
        legacy = "isolated=False" if sys.version_info >= (3, 12) else ""
        create = f"_xxsubinterpreters.create({legacy})"
    else:
        pytest.skip("no subinterpreter support in this Python")
    out = checked(
        run_python(
            f"""
            import os, {interpreters}
            import {NAME}
            r, w = os.pipe()
            sub = {create}
            {interpreters}.run_string(sub, '''
            import os
            try:
                import {NAME}
            except ImportError as e:
                os.write(%d, ("ImportError: %%s" %% e).encode())
            else:
                os.write(%d, b"imported")
            ''' % (w, w))
            {interpreters}.destroy(sub)
            os.close(w)
            print(os.read(r, 1000).decode())
            """
        )
    )
    assert out.strip() == (
        "ImportError: Interpreter change detected - this module can only be loaded "
        "into one interpreter per process."
    )
