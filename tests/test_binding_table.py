"""What one binding table guarantees for every function of brevix._core and
brevix._internal (and the argument errors of brevix.tokenizer): a text
signature inspect.signature reads, TypeError for every wrong call (never a
crash, never SystemError), C++ exceptions of a body as Python exceptions,
and module objects that can be made again from their spec."""
import importlib.util
import inspect

import pytest

import brevix._core as core
import brevix._internal as internal
import brevix.tokenizer as low


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
