"""The .pyi stubs next to the extension modules describe what those modules
really expose: the same names, the same kinds, the same parameters."""

import ast
import importlib
import importlib.machinery
import inspect
import re
import types
from pathlib import Path

import pytest

import vestrel
from corvane_layout import VTABLES, field, view, vtable

PACKAGE = Path(vestrel.__file__).parent
MODULES = ["vestrel.common", "vestrel.spsc_queue.spsc_queue",
           "vestrel.utils.brackwell.brackwell", "vestrel.utils.corvane.corvane",
           "vestrel._testing._testing"]
# Extension modules that ship without a stub.
UNSTUBBED = set()

# Set by the module loader or the type machinery; not part of any API.
PLUMBING = {"__builtins__", "__doc__", "__file__", "__loader__", "__name__", "__package__",
            "__spec__", "__pyx_vtable__", "__new__", "__init__", "__del__",
            "__repr__"}
CONSTRUCTORS = ("__new__", "__init__")
REQUIRED = "<required>"


def load(module_name):
    module = importlib.import_module(module_name)
    path = Path(module.__file__).parent / (module_name.rsplit(".", 1)[-1] + ".pyi")
    return module, ast.parse(path.read_text(), str(path))


STUBS = {name: load(name) for name in MODULES}


def declared(body):
    """What a stub body declares; plain assignments are type aliases, not API."""
    return {(node.target.id if isinstance(node, ast.AnnAssign) else node.name): node
            for node in body
            if isinstance(node, (ast.ClassDef, ast.FunctionDef, ast.AsyncFunctionDef,
                                 ast.AnnAssign))}


def stub_kind(node):
    if isinstance(node, ast.ClassDef):
        return "class"
    if isinstance(node, ast.AnnAssign):
        return "variable"
    if isinstance(node, ast.AsyncFunctionDef):
        return "coroutine"
    if any(isinstance(d, ast.Name) and d.id == "property" for d in node.decorator_list):
        return "property"
    return "function"


def runtime_kind(obj):
    if isinstance(obj, type):
        return "class"
    if inspect.isgetsetdescriptor(obj):
        return "property"
    code = getattr(obj, "__code__", None)
    if code is not None and code.co_flags & inspect.CO_COROUTINE:
        return "coroutine"
    return "function" if callable(obj) else "variable"


def namespaces():
    for module_name, (module, tree) in STUBS.items():
        short = module_name.rsplit(".", 1)[-1]
        yield pytest.param(vars(module), tree.body, id=short)
        for node in tree.body:
            if isinstance(node, ast.ClassDef):
                yield pytest.param(vars(getattr(module, node.name)), node.body,
                                   id=f"{short}.{node.name}")


@pytest.mark.parametrize("runtime, body", list(namespaces()))
def test_stub_declares_exactly_the_runtime_names(runtime, body):
    stub = {name: stub_kind(node) for name, node in declared(body).items()
            if name not in CONSTRUCTORS}
    actual = {name: runtime_kind(obj) for name, obj in runtime.items()
              if name not in PLUMBING and not isinstance(obj, types.ModuleType)}
    assert stub == actual


# ------------------------------------------------------------ parameters


def parameters(fn, skip_first):
    """[(name, default)] of an ast function; `*name` for a variadic parameter."""
    a = fn.args
    positional = a.posonlyargs + a.args
    defaults = [REQUIRED] * (len(positional) - len(a.defaults))
    defaults += [ast.literal_eval(d) for d in a.defaults]
    params = list(zip((p.arg for p in positional), defaults))[1 if skip_first else 0:]
    if a.vararg:
        params.append(("*" + a.vararg.arg, REQUIRED))
    params += [(p.arg, REQUIRED if d is None else ast.literal_eval(d))
               for p, d in zip(a.kwonlyargs, a.kw_defaults)]
    return params


def from_doc_line(doc):
    """Parameters of a leading "name(a, size_t b=1) -> result" docstring line."""
    line = doc.split("\n", 1)[0].split(" -> ")[0]
    line = re.sub(r"\b(?:size_t|bool|str|long|tuple)\s+(?=\w)", "", line)
    return parameters(ast.parse(f"def {line}: pass").body[0], skip_first=False)


def from_signature(obj, skip_first):
    prefix = {inspect.Parameter.VAR_POSITIONAL: "*", inspect.Parameter.VAR_KEYWORD: "**"}
    params = list(inspect.signature(obj).parameters.values())[1 if skip_first else 0:]
    return [(prefix.get(p.kind, "") + p.name, REQUIRED if p.default is p.empty else p.default)
            for p in params]


def runtime_parameters(owner, name):
    """What the runtime states about a callable's parameters, or None when it
    states nothing: our functions carry code objects; slot wrappers have text
    signatures; built-in methods and constructors spell theirs in a docstring."""
    if name in CONSTRUCTORS:
        doc = owner.__doc__ or ""
        return from_doc_line(doc) if doc.startswith(owner.__name__ + "(") else None
    module = isinstance(owner, types.ModuleType)
    obj = getattr(owner, name) if module else vars(owner)[name]
    try:
        return from_signature(obj, skip_first=not module)
    except ValueError:
        doc = obj.__doc__ or ""
        return from_doc_line(doc) if doc.startswith(name + "(") else None


def stated_signatures():
    for module_name, (module, tree) in STUBS.items():
        short = module_name.rsplit(".", 1)[-1]
        scopes = [(module, tree.body, "")]
        scopes += [(getattr(module, node.name), node.body, node.name + ".")
                   for node in tree.body if isinstance(node, ast.ClassDef)]
        for owner, body, prefix in scopes:
            for name, node in declared(body).items():
                if stub_kind(node) not in ("function", "coroutine"):
                    continue
                runtime = runtime_parameters(owner, name)
                if runtime is not None:
                    skip_first = isinstance(owner, type)
                    yield pytest.param(parameters(node, skip_first), runtime,
                                       id=f"{short}.{prefix}{name}")


@pytest.mark.parametrize("stub, runtime", list(stated_signatures()))
def test_stub_parameters_match_the_runtime(stub, runtime):
    assert stub == runtime


# ------------------------------------------------------------ dispatcher constructors

CORVANE_MODULE, CORVANE_STUB = STUBS["vestrel.utils.corvane.corvane"]
SMALL_SIZES = {"capacity": 8, "slot_size": 64}


def observe(d):
    """Every constructor argument of a dispatcher, as the instance keeps it."""
    ring, fields = field(d, "_q"), view(d)
    push_var = vtable(type(d))[VTABLES[type(d).__name__].index("push_var")]
    seen = {"callback": field(d, "_callback"), "capacity": ring.capacity,
            "slot_size": ring.slot_size, "overwrite": ring.overwrite, "zerocopy": ring.zerocopy,
            "block_on_full": ring.block_on_full, "variable_size": fields._push_fn == push_var}
    if hasattr(fields, "_daemon"):
        seen["daemon"] = bool(fields._daemon)
    return seen


@pytest.mark.parametrize("name", ["AsyncDispatcher", "SyncDispatcher", "ThreadedDispatcher"])
def test_dispatcher_constructor_matches_stub(name):
    # These classes build in the allocator and carry no signature text, so
    # the stub's __new__ is checked against what each argument does.
    cls = getattr(CORVANE_MODULE, name)
    assert "__init__" not in vars(cls)
    node = declared(next(n for n in CORVANE_STUB.body if getattr(n, "name", "") == name).body)
    keyword_only = {a.arg for a in node["__new__"].args.kwonlyargs}
    params = [p for p in parameters(node["__new__"], skip_first=True) if p[0] not in keyword_only]
    (first, required), options = params[0], dict(params[1:])
    assert required == REQUIRED and REQUIRED not in options.values()

    def pick(d):
        return {p: v for p, v in observe(d).items() if p in options or p == first}

    cb = object()
    assert pick(cls(cb)) == {first: cb, **options}
    for flag in (p for p, default in options.items() if default is False):
        values = {p: SMALL_SIZES.get(p, p == flag) for p in options}
        expected = {first: cb, **values}
        assert pick(cls(cb, *values.values())) == expected, f"{flag} out of place"
        assert pick(cls(**{first: cb}, **values)) == expected
    with pytest.raises(TypeError, match=rf"at most {len(params)} positional arguments"):
        cls(cb, *[1] * len(params))
    # The opt-ins are keyword-only, off by default; what each does is tested
    # with the readers.
    assert keyword_only == ({"batch"} if name == "ThreadedDispatcher" else {"batch", "idle_wakes"})
    assert cls(cb, **{k: 1 for k in keyword_only}) is not None
    with pytest.raises(OverflowError):
        cls(cb, batch=-1)


# ------------------------------------------------------------ packaging


def test_stubs_and_marker_ship_in_the_package():
    assert (PACKAGE / "py.typed").is_file()
    suffixes = tuple(importlib.machinery.EXTENSION_SUFFIXES)
    extensions = {".".join(p.relative_to(PACKAGE.parent).with_name(p.name.split(".")[0]).parts)
                  for p in PACKAGE.rglob("*") if p.name.endswith(suffixes)}
    assert set(MODULES) <= extensions
    unstubbed = {m for m in extensions
                 if not (PACKAGE.parent / (m.replace(".", "/") + ".pyi")).is_file()}
    assert unstubbed == UNSTUBBED
