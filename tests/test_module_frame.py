"""The module and the class shell: namespace, import behaviour, type properties,
instance life, size, pickling refusal and the function objects."""
import copy
import gc
import importlib
import inspect
import pickle
import sys
import types
import weakref
from abc import ABCMeta, abstractmethod

import pytest

import brevix.tokenizer as tokmod
from brevix.tokenizer import PyBytePairTokenizer

from helpers import CONVERSION_FILE, MODULE_FILE, innermost, module_entries, run_python

PICKLE_REFUSAL = "self.c_bpt cannot be converted to a Python object for pickling"

METHODS = {
    "fit": (["self", "corpus", "max_vocab_size", "n_iter"], 17,
            "PyBytePairTokenizer.fit(self, vector[int] corpus, int max_vocab_size, int n_iter)"),
    "encode": (["self", "input_string"], 20, "PyBytePairTokenizer.encode(self, string input_string)"),
    "encode_corpus": (["self", "input_corpus"], 23,
                      "PyBytePairTokenizer.encode_corpus(self, vector[int] input_corpus)"),
    "decode": (["self", "encoded"], 26, "PyBytePairTokenizer.decode(self, vector[int] encoded)"),
}


class TestModuleNamespace:
    def test_public_names_exactly(self):
        names = {n for n in vars(tokmod) if n not in {"__name__", "__spec__", "__doc__"}}
        assert names == {
            "PyBytePairTokenizer", "data_loader", "data_saver", "__reduce_cython__",
            "__setstate_cython__", "__test__", "__builtins__", "__loader__", "__file__",
            "__package__",
        }

    def test_module_attributes(self):
        import builtins
        assert tokmod.__doc__ is None
        assert tokmod.__test__ == {}
        assert tokmod.__builtins__ is builtins
        assert tokmod.__loader__ is tokmod.__spec__.loader
        assert tokmod.__file__ == tokmod.__spec__.origin
        assert tokmod.__package__ == "brevix"
        assert not hasattr(tokmod, "__path__")

    @pytest.mark.parametrize("name,qualname,params,line,doc", [
        ("__reduce_cython__", "PyBytePairTokenizer.__reduce_cython__", ["self"], 1,
         "PyBytePairTokenizer.__reduce_cython__(self)"),
        ("__setstate_cython__", "PyBytePairTokenizer.__setstate_cython__",
         ["self", "__pyx_state"], 3, "PyBytePairTokenizer.__setstate_cython__(self, __pyx_state)"),
    ])
    def test_module_pickling_stubs(self, name, qualname, params, line, doc):
        fn = getattr(tokmod, name)
        assert (fn.__name__, fn.__qualname__, fn.__doc__) == (name, qualname, doc)
        code = fn.__code__
        assert list(code.co_varnames) == params and code.co_argcount == len(params)
        assert (code.co_filename, code.co_firstlineno) == (CONVERSION_FILE, line)
        args = [object()] * len(params)
        with pytest.raises(TypeError, match=PICKLE_REFUSAL):
            fn(*args)

    def test_module_stub_needs_an_argument(self):
        with pytest.raises(TypeError, match=r"^__reduce_cython__\(\) needs an argument$"):
            tokmod.__reduce_cython__()

    def test_reimport_yields_same_objects(self):
        cls = tokmod.PyBytePairTokenizer
        del sys.modules["brevix.tokenizer"]
        try:
            again = importlib.import_module("brevix.tokenizer")
            assert again is tokmod
            assert again.PyBytePairTokenizer is cls
        finally:
            sys.modules["brevix.tokenizer"] = tokmod

    def test_reload_changes_nothing(self):
        fit = vars(PyBytePairTokenizer)["fit"]
        assert importlib.reload(tokmod) is tokmod
        assert vars(PyBytePairTokenizer)["fit"] is fit
        assert tokmod.PyBytePairTokenizer is PyBytePairTokenizer

    def test_import_in_subinterpreter_refused(self):
        # From 3.12 on, the interpreter must be created with the legacy
        # settings for the module's own check to run at all.
        code = """
            import sys
            import brevix.tokenizer
            try:
                import _xxsubinterpreters as interp
            except ImportError:
                import _interpreters as interp
            if sys.version_info >= (3, 13):
                i = interp.create("legacy")
            elif sys.version_info >= (3, 12):
                i = interp.create(isolated=False)
            else:
                i = interp.create()
            try:
                print(interp.run_string(i, "import brevix.tokenizer"))
            except Exception as e:
                print(type(e).__name__, e)
        """
        out = run_python(code).stdout.decode()
        assert "Interpreter change detected - this module can only be loaded into one " \
               "interpreter per process." in out


class TestCreateAndExecSteps:
    def test_second_module_object_refused(self):
        code = """
            import _imp, importlib.util
            spec = importlib.util.find_spec("brevix.tokenizer")
            first, second = _imp.create_dynamic(spec), _imp.create_dynamic(spec)
            print(first is second)
            _imp.exec_dynamic(first)
            try:
                _imp.exec_dynamic(second)
            except RuntimeError as e:
                print(e)
            print(_imp.create_dynamic(spec) is first)
        """
        assert run_python(code).stdout.decode().splitlines() == [
            "False",
            "Module 'tokenizer' has already been imported. Re-initialisation is not supported.",
            "True",
        ]

    def test_import_spec_attributes_copied(self):
        code = """
            import _imp, importlib.util
            from importlib.machinery import ModuleSpec
            found = importlib.util.find_spec("brevix.tokenizer")
            spec = ModuleSpec("brevix.tokenizer", found.loader, origin=found.origin,
                              is_package=True)
            spec.submodule_search_locations = ["somewhere"]
            m = _imp.create_dynamic(spec)
            print(m.__name__, m.__file__ == found.origin, m.__loader__ is found.loader,
                  m.__package__, m.__path__)
        """
        assert run_python(code).stdout.decode().splitlines() == [
            "brevix.tokenizer True True brevix.tokenizer ['somewhere']"]


class TestVersionCheck:
    def test_other_minor_version_warns(self):
        internal = pytest.importorskip("brevix._internal")
        built = sys.version_info[:2]  # the module is built for the running version
        with pytest.warns(RuntimeWarning) as record:
            internal._check_runtime_version(3, built[1] + 1)
        assert str(record[0].message) == (
            f"compile time Python version 3.{built[1]} of module 'brevix.tokenizer' does not "
            f"match runtime version 3.{built[1] + 1}")

    def test_same_minor_version_is_silent(self, recwarn):
        import brevix._internal as internal
        internal._check_runtime_version(*sys.version_info[:2])
        assert len(recwarn) == 0

    def test_warning_as_error_fails(self):
        import warnings
        import brevix._internal as internal
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            with pytest.raises(RuntimeWarning):
                internal._check_runtime_version(4, 0)


class TestTypeProperties:
    def test_names_and_doc(self):
        cls = PyBytePairTokenizer
        assert (cls.__module__, cls.__name__, cls.__qualname__) == (
            "brevix.tokenizer", "PyBytePairTokenizer", "PyBytePairTokenizer")
        assert cls.__doc__ == "PyBytePairTokenizer()"
        assert cls.__bases__ == (object,)

    def test_not_gc_tracked_and_no_dict(self, tok):
        assert not gc.is_tracked(tok)
        assert not hasattr(tok, "__dict__")
        with pytest.raises(AttributeError):
            tok.anything = 1

    def test_no_weak_references(self, tok):
        with pytest.raises(TypeError):
            weakref.ref(tok)

    @pytest.mark.parametrize("action", [
        lambda c: setattr(c, "fit", None),
        lambda c: setattr(c, "new_attribute", 1),
        lambda c: delattr(c, "encode"),
    ])
    def test_class_is_immutable(self, action):
        with pytest.raises(TypeError):
            action(PyBytePairTokenizer)

    def test_class_namespace(self):
        ns = vars(PyBytePairTokenizer)
        assert "__reduce_cython__" not in ns and "__setstate_cython__" not in ns
        assert ns["__reduce__"].__name__ == "__reduce_cython__"
        assert ns["__setstate__"].__name__ == "__setstate_cython__"
        assert ns["__reduce__"].__doc__ == "PyBytePairTokenizer.__reduce_cython__(self)"
        assert ns["__setstate__"].__doc__ == \
            "PyBytePairTokenizer.__setstate_cython__(self, __pyx_state)"
        assert "c_bpt" not in ns and not hasattr(PyBytePairTokenizer(), "c_bpt")


class TestInstanceLife:
    def test_fresh_size(self, tok):
        assert tok.size == 256 and type(tok.size) is int

    def test_new_without_init_is_usable(self):
        t = PyBytePairTokenizer.__new__(PyBytePairTokenizer)
        assert t.size == 256
        assert t.decode([104, 105]) == b"hi"

    @pytest.mark.parametrize("args,kwargs,message", [
        ((1,), {}, "__init__() takes exactly 0 positional arguments (1 given)"),
        ((1, 2), {}, "__init__() takes exactly 0 positional arguments (2 given)"),
        ((), {"x": 1}, "__init__() got an unexpected keyword argument 'x'"),
        ((), {"a": 1, "b": 2}, "__init__() got an unexpected keyword argument 'b'"),
    ])
    def test_init_refuses_arguments(self, args, kwargs, message):
        with pytest.raises(TypeError) as excinfo:
            PyBytePairTokenizer(*args, **kwargs)
        assert str(excinfo.value) == message
        # The refusal adds no entry of the module's own.
        assert module_entries(excinfo) == []

    def test_reinit_forgets_merges(self, trained_tok):
        assert trained_tok.size > 256
        assert trained_tok.encode_corpus([97, 98]) == [256]
        trained_tok.__init__()
        assert trained_tok.size == 256
        assert trained_tok.encode_corpus([97, 98]) == [97, 98]

    @pytest.mark.parametrize("action,error", [
        (lambda t: setattr(t, "size", 3), AttributeError),
        (lambda t: delattr(t, "size"), AttributeError),
    ])
    def test_size_is_read_only(self, tok, action, error):
        with pytest.raises(error):
            action(tok)


class TestSubclassing:
    def test_subclass_without_base_init_owns_fresh_tokenizer(self):
        class Sub(PyBytePairTokenizer):
            def __init__(self, label):
                self.label = label

        s = Sub("x")
        assert s.size == 256 and s.label == "x"
        assert s.decode([97]) == b"a"
        assert isinstance(s, PyBytePairTokenizer)

    def test_subclass_finaliser_runs_before_core_is_destroyed(self):
        seen = []

        class Sub(PyBytePairTokenizer):
            def __del__(self):
                seen.append(self.size)
                seen.append(self.decode(self.encode_corpus([104, 105])))

        s = Sub()
        s.fit([1, 2, 1, 2], 300, 1)
        del s
        gc.collect()
        assert seen == [257, b"hi"]

    def test_abstract_subclass_cannot_be_instantiated(self):
        class Abstract(PyBytePairTokenizer, metaclass=ABCMeta):
            @abstractmethod
            def extra(self):
                ...

        with pytest.raises(TypeError, match="abstract"):
            Abstract()

    def test_methods_work_on_subclass_instances(self):
        class Sub(PyBytePairTokenizer):
            pass

        assert PyBytePairTokenizer.encode_corpus(Sub(), [1, 2]) == [1, 2]


class TestPicklingRefusal:
    @pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
    def test_pickle_refused(self, tok, protocol):
        with pytest.raises(TypeError, match=PICKLE_REFUSAL):
            pickle.dumps(tok, protocol)

    @pytest.mark.parametrize("copier", [copy.copy, copy.deepcopy])
    def test_copy_refused(self, tok, copier):
        with pytest.raises(TypeError, match=PICKLE_REFUSAL):
            copier(tok)

    def test_reduce_entry(self, tok):
        with pytest.raises(TypeError) as excinfo:
            tok.__reduce__()
        caller, tail = innermost(excinfo, 1)
        assert caller == __file__
        assert tail == [("brevix.tokenizer.PyBytePairTokenizer.__reduce_cython__",
                         CONVERSION_FILE, 2)]

    @pytest.mark.parametrize("state", [None, (), {"a": 1}, tokmod])
    def test_setstate_refused_with_entry(self, tok, state):
        for call in (lambda: tok.__setstate__(state), lambda: tok.__setstate__(__pyx_state=state)):
            with pytest.raises(TypeError, match=PICKLE_REFUSAL) as excinfo:
                call()
            assert innermost(excinfo, 1)[1] == [
                ("brevix.tokenizer.PyBytePairTokenizer.__setstate_cython__", CONVERSION_FILE, 4)]

    @pytest.mark.parametrize("args,kwargs,message", [
        ((1,), {}, "__reduce_cython__() takes exactly 0 positional arguments (1 given)"),
        ((), {"a": 1, "b": 2}, "__reduce_cython__() got an unexpected keyword argument 'a'"),
    ])
    def test_reduce_argument_refusal_adds_no_entry(self, tok, args, kwargs, message):
        with pytest.raises(TypeError) as excinfo:
            tok.__reduce__(*args, **kwargs)
        assert str(excinfo.value) == message
        assert module_entries(excinfo) == []

    @pytest.mark.parametrize("args,kwargs,message", [
        ((), {}, "__setstate_cython__() takes exactly 1 positional argument (0 given)"),
        ((1, 2), {}, "__setstate_cython__() takes exactly 1 positional argument (2 given)"),
        ((1,), {"__pyx_state": 2},
         "__setstate_cython__() got multiple values for keyword argument '__pyx_state'"),
        ((), {"state": 1}, "__setstate_cython__() takes exactly 1 positional argument (0 given)"),
    ])
    def test_setstate_binding_refusal(self, tok, args, kwargs, message):
        with pytest.raises(TypeError) as excinfo:
            tok.__setstate__(*args, **kwargs)
        assert str(excinfo.value) == message
        assert innermost(excinfo, 1)[1] == [
            ("brevix.tokenizer.PyBytePairTokenizer.__setstate_cython__", CONVERSION_FILE, 3)]


class TestFunctionObjects:
    @pytest.mark.parametrize("name", list(METHODS))
    def test_method_attributes(self, name):
        params, line, doc = METHODS[name]
        fn = vars(PyBytePairTokenizer)[name]
        assert fn.__name__ == name
        assert fn.__qualname__ == "PyBytePairTokenizer." + name
        assert fn.__module__ == "brevix.tokenizer"
        assert fn.__doc__ == doc
        assert fn.__globals__ is vars(tokmod)
        assert fn.__defaults__ is None and fn.__kwdefaults__ is None
        code = fn.__code__
        assert isinstance(code, types.CodeType)
        assert list(code.co_varnames) == params
        assert code.co_argcount == len(params) and code.co_nlocals == len(params)
        assert code.co_kwonlyargcount == 0 and code.co_posonlyargcount == 0
        assert (code.co_filename, code.co_firstlineno) == (MODULE_FILE, line)
        assert code.co_name == name
        assert list(inspect.signature(fn).parameters) == params
        assert list(inspect.signature(getattr(PyBytePairTokenizer(), name)).parameters) \
            == params[1:]

    @pytest.mark.parametrize("name,params,line,doc", [
        ("data_loader", ["filepath"], 30, "data_loader(string filepath)"),
        ("data_saver", ["corpus", "filepath"], 34, "data_saver(vector[int] corpus, string filepath)"),
    ])
    def test_corpus_function_attributes(self, name, params, line, doc):
        fn = getattr(tokmod, name)
        assert (fn.__name__, fn.__qualname__, fn.__module__, fn.__doc__) == (
            name, name, "brevix.tokenizer", doc)
        assert fn.__globals__ is vars(tokmod)
        assert list(fn.__code__.co_varnames) == params
        assert fn.__code__.co_argcount == len(params)
        assert (fn.__code__.co_filename, fn.__code__.co_firstlineno) == (MODULE_FILE, line)
        sig = inspect.signature(fn)
        assert str(sig) == "(" + ", ".join(params) + ")"
        assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty
                   for p in sig.parameters.values())

    @pytest.mark.parametrize("fn", [tokmod.data_loader, tokmod.data_saver,
                                    vars(PyBytePairTokenizer)["decode"]])
    def test_functions_pickle_by_reference(self, fn):
        assert pickle.loads(pickle.dumps(fn)) is fn

    def test_methods_bind_to_instances(self, tok):
        bound = tok.encode_corpus
        assert isinstance(bound, types.MethodType)
        assert bound.__self__ is tok and bound.__func__ is vars(PyBytePairTokenizer)["encode_corpus"]
        assert PyBytePairTokenizer.encode_corpus is vars(PyBytePairTokenizer)["encode_corpus"]
        assert bound([5]) == [5]
