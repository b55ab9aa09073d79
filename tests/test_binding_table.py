"""What one binding table guarantees for every function of brevix._core,
brevix._internal and brevix.tokenizer: a signature inspect.signature reads,
TypeError for every wrong call (never a crash, never SystemError), C++
exceptions of a body as Python exceptions, and module objects that can be
made again from their spec; for brevix.tokenizer, also its own argument
errors and traceback entries, and names, docstrings and code objects that
agree because they come from one row."""
import importlib.util
import inspect
import itertools

import pytest

import brevix._core as core
import brevix._internal as internal
import brevix.tokenizer as low

from helpers import EXACT_TRACEBACKS, module_entries


def _functions():
    """(id, callable, owner) for every function and method of the modules."""
    found = []
    for module in (core, internal):
        for name, value in sorted(vars(module).items()):
            if name.startswith("__"):
                continue
            if isinstance(value, type):
                for attr, method in sorted(vars(value).items()):
                    if not attr.startswith("__") and callable(getattr(value, attr)):
                        found.append((f"{module.__name__}.{name}.{attr}", getattr(value, attr), value))
            elif callable(value):
                found.append((f"{module.__name__}.{name}", value, None))
    return found


FUNCTIONS = _functions()
IDS = [name for name, _, _ in FUNCTIONS]


def _instance(owner):
    """An instance to call a method on, or the class for a class method."""
    if owner is core.CoreTokenizer:
        return core.CoreTokenizer()
    if owner is core.PieceCounter:
        return core.PieceCounter(None, [], 1)
    if owner is core.StreamDecoder:
        return core.StreamDecoder(core.CoreTokenizer(), "strict")
    raise AssertionError(owner)


def _bound(function, owner):
    if owner is None:
        return function
    if isinstance(inspect.getattr_static(owner, function.__name__), classmethod):
        return function
    return getattr(_instance(owner), function.__name__)


def _parameters(function):
    return [p for p in inspect.signature(function).parameters.values()
            if p.name not in ("self", "module", "type")]


def test_every_module_has_its_functions_in_the_table():
    assert len(FUNCTIONS) >= 70
    assert {"train_bytes", "split", "get_merges"} <= {f.__name__ for _, f, _ in FUNCTIONS}


@pytest.mark.parametrize(("name", "function", "owner"), FUNCTIONS, ids=IDS)
class TestEveryFunction:
    def test_text_signature_is_what_inspect_reads(self, name, function, owner):
        text = function.__text_signature__
        assert text is not None and text.startswith("($")
        parameters = _parameters(function)
        names = [p.name for p in parameters]
        assert len(names) == len(set(names))
        # The signature line is split off the docstring, leaving the text.
        assert function.__doc__ and "--" not in function.__doc__.splitlines()[0]
        for p in parameters:
            assert p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY)
            assert p.name in text

    def test_too_many_positional_arguments_is_type_error(self, name, function, owner):
        bound = _bound(function, owner)
        extra = (object(),) * (len(_parameters(function)) + 1)
        with pytest.raises(TypeError, match=rf"{function.__name__}\(\) takes"):
            bound(*extra)

    def test_unknown_keyword_is_type_error(self, name, function, owner):
        bound = _bound(function, owner)
        with pytest.raises(TypeError, match="unexpected keyword argument 'no_such_parameter'"):
            bound(no_such_parameter=1)
        with pytest.raises(TypeError):
            bound(**{"no such": 1})

    def test_argument_given_twice_or_missing_is_type_error(self, name, function, owner):
        bound = _bound(function, owner)
        parameters = _parameters(function)
        required = [p for p in parameters if p.default is p.empty]
        if not parameters:
            pytest.skip("takes no arguments")
        first = parameters[0].name
        with pytest.raises(TypeError, match=f"'{first}'"):
            bound(object(), **{first: object()})
        if required:
            with pytest.raises(TypeError, match=f"missing required argument '{required[0].name}'"):
                bound()


@pytest.mark.parametrize(("cls", "arguments"), [
    (core.CoreTokenizer, ()),
    (core.PieceCounter, (None, [], 1)),
])
def test_constructors_bind_through_the_table(cls, arguments):
    with pytest.raises(TypeError, match="takes"):
        cls(*arguments, object())
    with pytest.raises(TypeError, match="unexpected keyword argument 'bogus'"):
        cls(*arguments, bogus=1)
    assert type(cls(*arguments)) is cls


@pytest.mark.parametrize("call", [
    lambda: low.data_loader(),
    lambda: low.data_saver([1], b"x", b"y"),
    lambda: low.PyBytePairTokenizer().fit([1], 2, 3, 4),
    lambda: low.PyBytePairTokenizer().encode(input_string=b"x", extra=1),
])
def test_tokenizer_module_argument_errors_are_type_errors(call):
    with pytest.raises(TypeError):
        call()


@pytest.mark.parametrize(("kind", "expected"), [
    ("bad_alloc", MemoryError),
    ("invalid_argument", ValueError),
    ("out_of_range", IndexError),
    ("runtime_error", RuntimeError),
    ("overflow_error", OverflowError),
])
def test_cpp_exception_in_a_table_body_is_a_python_exception(kind, expected):
    with pytest.raises(expected):
        internal._translate_core_exception(kind=kind, text=b"boom", pending=False)


def test_converter_errors_name_function_and_parameter():
    with pytest.raises(TypeError):
        internal.train_bytes(low.PyBytePairTokenizer(), b"ab", "x", 1)
    with pytest.raises(TypeError, match=r"argument 'kind' must be str"):
        internal._translate_core_exception(1, b"", False)
    with pytest.raises(OverflowError):
        internal.pair_hash(2**40, 1)


@pytest.mark.parametrize("module", [core, internal], ids=lambda m: m.__name__)
def test_a_second_module_object_from_the_spec_is_independent(module):
    spec = importlib.util.find_spec(module.__name__)
    again = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(again)
    assert again is not module
    assert sorted(n for n in vars(again) if not n.startswith("__")) == \
        sorted(n for n in vars(module) if not n.startswith("__"))
    if module is core:
        assert again.CoreTokenizer is not core.CoreTokenizer
        tok = again.CoreTokenizer()
        assert tok.vocab_size() == core.CoreTokenizer().vocab_size()
        stream = again.StreamDecoder(tok, "strict")
        assert stream.feed([104, 105]) == "hi"
        assert again.PieceCounter(None, [], 1).distinct() == 0
        with pytest.raises(TypeError, match="expected a CoreTokenizer"):
            again.StreamDecoder(object(), "strict")
    else:
        assert again.split is not internal.split
        assert again.unicode_category(ord("a")) == "Ll"


# ---- brevix.tokenizer through the table ---------------------------------------------
#
# Its rows add two columns: the module's own binder and a site. The function
# objects' names, qualified names, docstrings, code objects and traceback
# entries all derive from the one row, so they must agree with each other;
# the argument errors must follow the module's binding rules, checked here
# against a straightforward model of them.

LOW_FUNCTIONS = [vars(low.PyBytePairTokenizer)[name]
                 for name in ("fit", "encode", "encode_corpus", "decode")] + \
                [low.__reduce_cython__, low.__setstate_cython__, low.data_loader, low.data_saver]


def _low_parameters(function):
    """The parameters a caller gives after self, from the function's code object."""
    names = list(function.__code__.co_varnames)
    return names[1:] if names[:1] == ["self"] else names


def _low_callable(function):
    """The function with self supplied for a method."""
    if function.__code__.co_varnames[:1] == ("self",):
        return lambda *a, **k: function(low.PyBytePairTokenizer(), *a, **k)
    return function


def _count_refusal(name, count, given):
    plural = "" if count == 1 else "s"
    return f"{name}() takes exactly {count} positional argument{plural} ({given} given)"


def expected_refusal(name, params, nargs, keywords):
    """The model of the module's binding: the message for a call with `nargs`
    positional arguments and `keywords` (in call order), or None when it binds."""
    count = len(params)
    if nargs > count or (not keywords and nargs < count):
        return _count_refusal(name, count, nargs)
    for i in range(nargs, count):
        if params[i] not in keywords:
            return _count_refusal(name, count, i)
    if count - nargs == len(keywords):
        return None
    for keyword in keywords:
        if keyword not in params:
            return f"{name}() got an unexpected keyword argument '{keyword}'"
        if params.index(keyword) < nargs:
            return f"{name}() got multiple values for keyword argument '{keyword}'"
    raise AssertionError("unreachable")


def _calls(params):
    """(nargs, keywords) for every small call shape over the parameters and a stray name."""
    names = list(params) + ["stray"]
    for nargs in range(len(params) + 2):
        for size in range(len(names) + 1):
            for keywords in itertools.permutations(names, size):
                yield nargs, keywords


def _low_entry(function):
    return ("brevix.tokenizer." + function.__qualname__, function.__code__.co_filename,
            function.__code__.co_firstlineno)


@pytest.mark.parametrize("function", LOW_FUNCTIONS, ids=lambda f: f.__qualname__)
def test_low_level_argument_errors_follow_the_binding_model(function):
    params = _low_parameters(function)
    call = _low_callable(function)
    wrong = []
    checked = 0
    for nargs, keywords in _calls(params):
        expected = expected_refusal(function.__name__, params, nargs, keywords)
        if expected is None:
            continue
        checked += 1
        with pytest.raises(TypeError) as excinfo:
            call(*[object()] * nargs, **{k: object() for k in keywords})
        if str(excinfo.value) != expected:
            wrong.append((nargs, keywords, str(excinfo.value), expected))
        elif EXACT_TRACEBACKS and module_entries(excinfo) != [_low_entry(function)]:
            wrong.append((nargs, keywords, module_entries(excinfo)))
    assert checked > 0 and wrong == []


@pytest.mark.parametrize("function", LOW_FUNCTIONS, ids=lambda f: f.__qualname__)
def test_low_level_names_docstring_and_code_come_from_one_row(function):
    qualname = function.__qualname__
    assert qualname.rsplit(".", 1)[-1] == function.__name__ == function.__code__.co_name
    assert function.__module__ == "brevix.tokenizer"
    # The docstring is the signature with C types: the same parameters, in
    # the same order, as the code object inspect.signature reads.
    doc = function.__doc__
    assert doc.startswith(qualname + "(") and doc.endswith(")")
    shown = [part.split()[-1] for part in doc[len(qualname) + 1:-1].split(", ") if part]
    assert shown == list(function.__code__.co_varnames)
    assert list(inspect.signature(function).parameters) == shown
    assert function.__text_signature__ is None if hasattr(function, "__text_signature__") else True


@pytest.mark.parametrize(("method", "stub"), [
    ("__reduce__", low.__reduce_cython__),
    ("__setstate__", low.__setstate_cython__),
])
def test_pickling_methods_and_module_stubs_share_their_rows(method, stub):
    bound = getattr(low.PyBytePairTokenizer(), method)
    unbound = vars(low.PyBytePairTokenizer)[method]
    assert (unbound.__name__, unbound.__qualname__, unbound.__doc__) == \
        (stub.__name__, stub.__qualname__, stub.__doc__)
    assert unbound.__text_signature__ is None
    params = _low_parameters(stub)
    for nargs, keywords in _calls(params):
        expected = expected_refusal(stub.__name__, params, nargs, keywords)
        with pytest.raises(TypeError) as excinfo:
            bound(*[object()] * nargs, **{k: object() for k in keywords})
        if expected is None:
            # Bound: the refusal itself, one line below the row's first.
            assert "cannot be converted to a Python object for pickling" in str(excinfo.value)
            name, file, line = _low_entry(stub)
            expected_tail = [(name, file, line + 1)]
        else:
            assert str(excinfo.value) == expected
            # A method without parameters has nothing to bind: no entry.
            expected_tail = [_low_entry(stub)] if params else []
        if EXACT_TRACEBACKS:
            assert module_entries(excinfo) == expected_tail, (nargs, keywords)


@pytest.mark.parametrize("function", [f for f in LOW_FUNCTIONS
                                      if f.__code__.co_varnames[:1] == ("self",)],
                         ids=lambda f: f.__qualname__)
def test_low_level_methods_take_self_first(function):
    with pytest.raises(TypeError, match=rf"^{function.__name__}\(\) needs an argument$") as excinfo:
        function()
    if EXACT_TRACEBACKS:
        assert module_entries(excinfo) == [_low_entry(function)]
