// talvex.signals: the module definition and start-up, the exported
// interface, the translation of signals into Python exceptions and the
// Python-level functions. The native runtime is in implementation.cpp.

#define PY_SSIZE_T_CLEAN
#include "implementation.h"
#include "platform.h"
#include "pyref.h"

#include <frameobject.h>
#include <limits.h>
#include <type_traits>
#include <signal.h>
#include <stdio.h>
#include <string.h>

using talvex::Ref;

namespace {

const char kSourceFile[] = "talvex/signals.cpp";
const char kModuleName[] = "talvex.signals";
// The version of the headers this binary was compiled against.
constexpr int kBuiltMajor = PY_MAJOR_VERSION;
constexpr int kBuiltMinor = PY_MINOR_VERSION;

// Start-up records: plain storage, protected by the interpreter lock, never freed.
int64_t loaded_interpreter_id = -1;
PyObject *module_ref;     // the module whose execution step has begun
PyObject *namespace_ref;  // its namespace dict
PyObject *builtins_ref;   // the builtins module

// The interned key of each name looked up, made once: a signal's exception
// class is looked up after every jump, and making the key each time (a new
// string, its hash, the interpreter's table of interned strings) cost more
// than the exception itself. The names are this file's literals.
struct NameKey {
    const char *name;
    PyObject *key;  // owned
};
NameKey name_keys[8];

// A new reference to the key for `name`.
PyObject *name_key(const char *name)
{
    for (NameKey &k : name_keys) {
        if (k.name == name)
            return Py_NewRef(k.key);
        if (k.name == nullptr) {
            PyObject *key = PyUnicode_InternFromString(name);
            if (key == nullptr)
                return nullptr;
            k.key = Py_NewRef(key);
            k.name = name;
            return key;
        }
    }
    return PyUnicode_InternFromString(name);
}

// Look a module-level name up as the functions do every time they run: the
// module namespace first, then the builtins. NameError when neither has it;
// any other lookup error is left as it is.
PyObject *lookup_global(const char *name)
{
    Ref key(name_key(name));
    if (!key)
        return nullptr;
    if (namespace_ref != nullptr) {
        PyObject *value = PyDict_GetItemWithError(namespace_ref, key.get());
        if (value != nullptr)
            return Py_NewRef(value);
        if (PyErr_Occurred())
            return nullptr;
    }
    if (builtins_ref != nullptr) {
        PyObject *value = PyObject_GetAttr(builtins_ref, key.get());
        if (value != nullptr)
            return value;
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return nullptr;
        PyErr_Clear();
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", key.get());
    return nullptr;
}

// Convert to a native 32-bit int: an int directly, anything else through
// its __int__ (so a float is truncated, a str refused).
bool to_int32(PyObject *obj, int *out)
{
    Ref number;
    if (PyLong_Check(obj)) {
        number.reset(Py_NewRef(obj));
    } else {
        PyNumberMethods *nb = Py_TYPE(obj)->tp_as_number;
        if (nb == nullptr || nb->nb_int == nullptr) {
            PyErr_SetString(PyExc_TypeError, "an integer is required");
            return false;
        }
        number.reset(nb->nb_int(obj));
        if (!number)
            return false;
        if (!PyLong_Check(number.get())) {
            PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                         Py_TYPE(number.get())->tp_name);
            return false;
        }
    }
    long value = PyLong_AsLong(number.get());
    if (value == -1 && PyErr_Occurred())
        return false;
    if (value < INT_MIN || value > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    *out = static_cast<int>(value);
    return true;
}

// Raise `cls(text)`: the exception is made by calling the class.
void raise_with_message(PyObject *cls, const char *text)
{
    Ref arg(PyUnicode_FromString(text));
    if (!arg)
        return;
    Ref exc(PyObject_CallOneArg(cls, arg.get()));
    if (exc)
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.get())), exc.get());
}

// Print an exception with its traceback, then hand it to the unraisable
// hook under `context`, and clear it. SystemExit is printed, not obeyed.
void write_unraisable(const char *context)
{
    PyObject *exc = PyErr_GetRaisedException();
    if (exc == nullptr)
        return;
    PyErr_DisplayException(exc);
    PyErr_SetRaisedException(exc);
    Ref ctx(PyUnicode_FromString(context));
    if (!ctx) {
        PyErr_Clear();
        return;
    }
    PyErr_WriteUnraisable(ctx.get());
}

}  // namespace

// ---------------------------------------------------------------------
// Traceback entries
// ---------------------------------------------------------------------

namespace {

// The frames of traceback entries, made once per place: an interrupt
// outside a region passes through here every time. A traceback only refers
// to its frame, which never runs, so one frame serves every entry of a
// place.
struct FrameCacheEntry {
    const char *funcname;
    const char *file;
    int line;
    PyObject *frame;  // owned, kept for the life of the process
};
FrameCacheEntry frame_cache[32];

PyObject *new_frame(const char *funcname, int line, const char *file)
{
    Ref code(reinterpret_cast<PyObject *>(PyCode_NewEmpty(file, funcname, line)));
    if (!code)
        return nullptr;
    PyObject *globals = namespace_ref;
    Ref empty;
    if (globals == nullptr) {
        empty.reset(PyDict_New());
        globals = empty.get();
    }
    if (globals == nullptr)
        return nullptr;
    return reinterpret_cast<PyObject *>(PyFrame_New(
        PyThreadState_Get(), reinterpret_cast<PyCodeObject *>(code.get()), globals, nullptr));
}

// A new reference to the frame of an entry, or null.
PyObject *frame_for(const char *funcname, int line, const char *file)
{
    for (FrameCacheEntry &e : frame_cache) {
        if (e.frame == nullptr) {
            // Only places met while namespace_ref is set are kept: their
            // frames show the module's namespace.
            if (namespace_ref == nullptr)
                break;
            e.frame = new_frame(funcname, line, file);
            if (e.frame == nullptr)
                return nullptr;
            e.funcname = funcname;
            e.file = file;
            e.line = line;
        }
        if (e.funcname == funcname && e.file == file && e.line == line)
            return Py_NewRef(e.frame);
    }
    return new_frame(funcname, line, file);  // more places than the cache holds
}

}  // namespace

void talvex::add_traceback(const char *funcname, int line, const char *file)
{
    // The entry must never replace the error it decorates.
    PyObject *exc = PyErr_GetRaisedException();
    PyObject *frame = frame_for(funcname, line, file ? file : kSourceFile);
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
    if (frame != nullptr && exc != nullptr)
        PyTraceBack_Here(reinterpret_cast<PyFrameObject *>(frame));
    Py_XDECREF(frame);
}

using talvex::add_traceback;

PyObject *talvex::module_namespace()
{
    return namespace_ref;
}

// ---------------------------------------------------------------------
// Exception translation
// ---------------------------------------------------------------------

namespace {

// From a signal number to the exception it becomes. A class name is looked
// up at every call (module namespace, then builtins); otherwise the
// built-in class is used. A null default message means "set without a value".
struct Translation {
    int sig;
    PyObject *const *builtin;
    const char *class_name;
    const char *default_message;
    bool reopen_stdin;
};
const Translation kTranslations[] = {
    {SIGHUP, &PyExc_SystemExit, nullptr, nullptr, true},
    {SIGTERM, &PyExc_SystemExit, nullptr, nullptr, true},
    {SIGINT, &PyExc_KeyboardInterrupt, nullptr, nullptr, false},
    {SIGILL, nullptr, "SignalError", "Illegal instruction", false},
    {SIGABRT, &PyExc_RuntimeError, nullptr, "Aborted", false},
    {SIGFPE, &PyExc_FloatingPointError, nullptr, "Floating point exception", false},
    {SIGBUS, nullptr, "SignalError", "Bus error", false},
    {SIGSEGV, nullptr, "SignalError", "Segmentation fault", false},
    {SIGALRM, nullptr, "AlarmInterrupt", nullptr, false},
};

// Set the exception for `sig`; false when the class lookup failed.
bool set_signal_exception(int sig, const char *msg, bool reopen_stdin)
{
    const Translation *t = nullptr;
    for (const Translation &row : kTranslations) {
        if (row.sig == sig) {
            t = &row;
            break;
        }
    }
    if (t == nullptr) {
        PyErr_Format(PyExc_SystemError, "unknown signal number %i", sig);
        return true;
    }
    Ref cls;
    if (t->class_name != nullptr) {
        cls.reset(lookup_global(t->class_name));
        if (!cls)
            return false;
    } else {
        cls.reset(Py_NewRef(*t->builtin));
    }
    if (t->reopen_stdin && reopen_stdin) {
        // A hang-up: whatever reads standard input now sees end-of-file.
        FILE *ignored = freopen("/dev/null", "r", stdin);
        (void)ignored;
    }
    if (t->default_message == nullptr) {
        PyErr_SetNone(cls.get());
        return true;
    }
    const char *text = msg != nullptr ? msg : t->default_message;
    // A client's text that is not valid UTF-8 still gives its own exception.
    Ref value(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(strlen(text)), "replace"));
    if (value)
        PyErr_SetObject(cls.get(), value.get());
    return true;
}

// sig_raise_exception, and sig_print_exception's variant that leaves
// standard input alone.
void raise_holding_the_lock(int sig, const char *msg, bool reopen_stdin)
{
    if (PyErr_Occurred())
        return;
    if (!set_signal_exception(sig, msg, reopen_stdin)) {
        add_traceback("talvex.signals.sig_raise_exception", __LINE__, nullptr);
        return;
    }
    PyObject *exc = PyErr_GetRaisedException();  // normalised instance
    talvex::keep_raised_value(exc);
    PyErr_SetRaisedException(exc);
}

int raise_signal_exception(int sig, const char *msg, bool reopen_stdin)
{
    PyGILState_STATE gil = PyGILState_Ensure();
    raise_holding_the_lock(sig, msg, reopen_stdin);
    PyGILState_Release(gil);
    return 0;
}

}  // namespace

extern "C" int sig_raise_exception(int sig, const char *msg)
{
    return raise_signal_exception(sig, msg, true);
}

void talvex::raise_signal_exception_holding_the_lock(int sig, const char *msg)
{
    raise_holding_the_lock(sig, msg, true);
}

namespace talvex {

void keep_raised_value(PyObject *value)
{
    // The old value goes first, outside the guard (its finaliser may run
    // Python code, which then finds the field empty), then the new one.
    PyObject *old;
    {
        ObjectGuard guard;
        old = tvstate.raised_value;
        tvstate.raised_value = nullptr;
    }
    Py_XDECREF(old);
    if (value != nullptr) {
        ObjectGuard guard;
        tvstate.raised_value = Py_NewRef(value);
    }
}

bool raised_value_is(PyObject *value)
{
    ObjectGuard guard;
    return tvstate.raised_value == value;
}

bool raised_value_unshared()
{
    ObjectGuard guard;
    return tvstate.raised_value != nullptr && Py_REFCNT(tvstate.raised_value) == 1;
}

}  // namespace talvex

namespace {

void clear_raised_value()
{
    talvex::keep_raised_value(nullptr);
}

using talvex::raised_value_unshared;

// The steps that may run Python code; the caller keeps the handled exception.
void verify_exc_value_checks()
{
    {
        Ref sys(lookup_global("sys"));
        if (!sys) {
            write_unraisable("talvex.signals.verify_exc_value");
            return;
        }
        Ref last(PyObject_GetAttrString(sys.get(), "last_value"));
        if (!last) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
                write_unraisable("talvex.signals.verify_exc_value");
                return;
            }
            PyErr_Clear();
        } else if (talvex::raised_value_is(last.get())) {
            clear_raised_value();
            return;
        }
    }
    {
        Ref collect(lookup_global("collect"));
        Ref result(collect ? PyObject_CallNoArgs(collect.get()) : nullptr);
        if (!result) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) {
                write_unraisable("talvex.signals.verify_exc_value");
                return;
            }
            PyErr_Clear();
        }
    }
    if (raised_value_unshared())
        clear_raised_value();
}

}  // namespace

extern "C" void verify_exc_value(void)
{
    if (raised_value_unshared()) {
        clear_raised_value();
        return;
    }
    if (PyErr_Occurred())
        return;
    PyObject *handled = PyErr_GetHandledException();
    verify_exc_value_checks();
    PyErr_SetHandledException(handled);
    Py_XDECREF(handled);
}

// ---------------------------------------------------------------------
// The function objects of the module's Python-level functions: they carry
// a module, globals, defaults and a signature like Python functions do.
// ---------------------------------------------------------------------

namespace {

constexpr int kMaxParams = 2;

struct FunctionDef {
    const char *name;
    // Arguments arrive complete, defaults filled in, borrowed.
    PyObject *(*impl)(PyObject *const *args);
    int nparams;
    int nrequired;
    const char *params[kMaxParams];
    const char *doc;
};

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef *def;
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;
    PyObject *defaults;  // tuple or null
    PyObject *globals;
    PyObject *dict;
};

// Bind positional and keyword arguments to the parameters, with the
// interpreter's usual wording for mistakes.
bool bind_arguments(Function *f, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                    PyObject **bound)
{
    const FunctionDef *def = f->def;
    Py_ssize_t ndefaults = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
    if (nargs > def->nparams) {
        Py_ssize_t least = def->nparams - ndefaults;
        if (least < def->nparams)
            PyErr_Format(PyExc_TypeError,
                         "%U() takes from %zd to %d positional arguments but %zd %s given",
                         f->name, least, def->nparams, nargs, nargs == 1 ? "was" : "were");
        else
            PyErr_Format(PyExc_TypeError, "%U() takes %d positional argument%s but %zd %s given",
                         f->name, def->nparams, def->nparams == 1 ? "" : "s", nargs,
                         nargs == 1 ? "was" : "were");
        return false;
    }
    for (int i = 0; i < def->nparams; i++)
        bound[i] = i < nargs ? args[i] : nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; k++) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", f->name);
            return false;
        }
        int slot = -1;
        for (int i = 0; i < def->nparams; i++) {
            if (PyUnicode_CompareWithASCIIString(key, def->params[i]) == 0) {
                slot = i;
                break;
            }
        }
        if (slot < 0) {
            PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%U'",
                         f->name, key);
            return false;
        }
        if (bound[slot] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%U'",
                         f->name, key);
            return false;
        }
        bound[slot] = args[nargs + k];
    }
    int first_default = def->nparams - static_cast<int>(ndefaults);
    const char *missing[kMaxParams];
    int nmissing = 0;
    for (int i = 0; i < def->nparams; i++) {
        if (bound[i] != nullptr)
            continue;
        if (i >= first_default)
            bound[i] = PyTuple_GET_ITEM(f->defaults, i - first_default);
        else
            missing[nmissing++] = def->params[i];
    }
    if (nmissing == 1) {
        PyErr_Format(PyExc_TypeError, "%U() missing 1 required positional argument: '%s'",
                     f->name, missing[0]);
        return false;
    }
    if (nmissing == 2) {
        PyErr_Format(PyExc_TypeError,
                     "%U() missing 2 required positional arguments: '%s' and '%s'", f->name,
                     missing[0], missing[1]);
        return false;
    }
    return true;
}

PyObject *function_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf,
                              PyObject *kwnames)
{
    Function *f = reinterpret_cast<Function *>(self);
    PyObject *bound[kMaxParams] = {nullptr, nullptr};
    if (!bind_arguments(f, args, PyVectorcall_NARGS(nargsf), kwnames, bound))
        return nullptr;
    return f->def->impl(bound);
}

int function_traverse(PyObject *self, visitproc visit, void *arg)
{
    Function *f = reinterpret_cast<Function *>(self);
    Py_VISIT(Py_TYPE(self));  // instances of a heap type own a reference to it
    Py_VISIT(f->defaults);
    Py_VISIT(f->globals);
    Py_VISIT(f->dict);
    return 0;
}

int function_clear(PyObject *self)
{
    Function *f = reinterpret_cast<Function *>(self);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject *self)
{
    Function *f = reinterpret_cast<Function *>(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    Py_XDECREF(f->name);
    Py_XDECREF(f->qualname);
    Py_XDECREF(f->module);
    Py_XDECREF(f->doc);
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);  // taken by PyObject_GC_New, as for every heap type
}

PyObject *function_repr(PyObject *self)
{
    Function *f = reinterpret_cast<Function *>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

// Not bound as a method when stored in a class, like built-in functions;
// having __get__ also makes introspection tools treat it as a function.
PyObject *function_descr_get(PyObject *self, PyObject *, PyObject *)
{
    return Py_NewRef(self);
}

PyObject *get_defaults(PyObject *self, void *)
{
    Function *f = reinterpret_cast<Function *>(self);
    return Py_NewRef(f->defaults ? f->defaults : Py_None);
}

PyObject *get_globals(PyObject *self, void *)
{
    return Py_NewRef(reinterpret_cast<Function *>(self)->globals);
}

PyObject *get_dict(PyObject *self, void *)
{
    Function *f = reinterpret_cast<Function *>(self);
    if (f->dict == nullptr && (f->dict = PyDict_New()) == nullptr)
        return nullptr;
    return Py_NewRef(f->dict);
}

// inspect.signature() reads this: parameters by position or keyword.
PyObject *get_signature(PyObject *self, void *)
{
    Function *f = reinterpret_cast<Function *>(self);
    Ref inspect(PyImport_ImportModule("inspect"));
    if (!inspect)
        return nullptr;
    Ref parameter(PyObject_GetAttrString(inspect.get(), "Parameter"));
    Ref signature(parameter ? PyObject_GetAttrString(inspect.get(), "Signature") : nullptr);
    Ref kind(signature ? PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD")
                       : nullptr);
    if (!kind)
        return nullptr;
    const FunctionDef *def = f->def;
    Py_ssize_t ndefaults = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
    Ref params(PyList_New(0));
    if (!params)
        return nullptr;
    for (int i = 0; i < def->nparams; i++) {
        Ref kwargs(PyDict_New());
        if (!kwargs)
            return nullptr;
        int d = i - (def->nparams - static_cast<int>(ndefaults));
        if (d >= 0 && PyDict_SetItemString(kwargs.get(), "default",
                                           PyTuple_GET_ITEM(f->defaults, d)) < 0)
            return nullptr;
        Ref name(PyUnicode_FromString(def->params[i]));
        Ref posargs(name ? PyTuple_Pack(2, name.get(), kind.get()) : nullptr);
        Ref p(posargs ? PyObject_Call(parameter.get(), posargs.get(), kwargs.get()) : nullptr);
        if (!p || PyList_Append(params.get(), p.get()) < 0)
            return nullptr;
    }
    return PyObject_CallOneArg(signature.get(), params.get());
}

PyMemberDef function_members[] = {
    {"__name__", Py_T_OBJECT_EX, offsetof(Function, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(Function, qualname), Py_READONLY, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(Function, module), Py_READONLY, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(Function, doc), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Function, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(Function, dict), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__dict__", get_dict, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void *>(function_repr)},
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void *>(function_descr_get)},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "talvex.signals.function",
    sizeof(Function),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

PyObject *function_type;  // created once by the start-up

PyObject *new_function(const FunctionDef *def, PyObject *defaults)
{
    Function *f = PyObject_GC_New(Function, reinterpret_cast<PyTypeObject *>(function_type));
    if (f == nullptr)
        return nullptr;
    f->vectorcall = function_vectorcall;
    f->def = def;
    f->name = PyUnicode_InternFromString(def->name);
    f->qualname = Py_XNewRef(f->name);
    f->module = PyUnicode_InternFromString(kModuleName);
    f->doc = PyUnicode_FromString(def->doc);
    f->defaults = Py_XNewRef(defaults);
    f->globals = Py_NewRef(namespace_ref);
    f->dict = nullptr;
    PyObject_GC_Track(f);
    if (f->name == nullptr || f->module == nullptr || f->doc == nullptr) {
        Py_DECREF(f);
        return nullptr;
    }
    return reinterpret_cast<PyObject *>(f);
}

// ---------------------------------------------------------------------
// The Python-level functions
// ---------------------------------------------------------------------

PyObject *pari_version_impl(PyObject *const *)
{
    Py_RETURN_NONE;
}

PyObject *sig_on_reset_impl(PyObject *const *)
{
    int count = tv_load(&tvstate.sig_on_count);
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
    tv_store(&tvstate.sig_on_count, 0);
    PyObject *result = PyLong_FromLong(count);
    if (result == nullptr)
        add_traceback("talvex.signals.sig_on_reset", __LINE__, nullptr);
    return result;
}

PyObject *set_crash_file_impl(PyObject *const *args)
{
    PyObject *path = args[0];
    if (path == Py_None) {
        talvex::set_crash_file(nullptr);
        Py_RETURN_NONE;
    }
    PyObject *encoded = nullptr;
    if (!PyUnicode_FSConverter(path, &encoded)) {
        add_traceback("talvex.signals._set_crash_file", __LINE__, nullptr);
        return nullptr;
    }
    Ref bytes(encoded);
    if (static_cast<size_t>(PyBytes_GET_SIZE(encoded)) >= sizeof(talvex::report_setup.crash_file[0])) {
        raise_with_message(PyExc_ValueError, "talvex crash file path is too long");
        add_traceback("talvex.signals._set_crash_file", __LINE__, nullptr);
        return nullptr;
    }
    talvex::set_crash_file(PyBytes_AS_STRING(encoded));
    Py_RETURN_NONE;
}

PyObject *set_debug_level_impl(PyObject *const *args)
{
    int level;
    if (!to_int32(args[0], &level)) {
        add_traceback("talvex.signals.set_debug_level", __LINE__, nullptr);
        return nullptr;
    }
    if (level < 0) {
        raise_with_message(PyExc_ValueError, "talvex debug level must be >= 0");
        add_traceback("talvex.signals.set_debug_level", __LINE__, nullptr);
        return nullptr;
    }
    if (level > 0) {
        raise_with_message(PyExc_RuntimeError,
                           "talvex is compiled without debugging, recompile with --enable-debug");
        add_traceback("talvex.signals.set_debug_level", __LINE__, nullptr);
        return nullptr;
    }
    return PyLong_FromLong(0);
}

// Print the caught exception, as traceback.print_exception(typ, val, None,
// file=sys.stdout, chain=False) does with what sys.exc_info() reports.
bool print_handled_exception()
{
    Ref sys(PyImport_ImportModule("sys"));
    Ref traceback(sys ? PyImport_ImportModule("traceback") : nullptr);
    if (!traceback)
        return false;
    Ref info(PyObject_CallMethod(sys.get(), "exc_info", nullptr));
    if (!info)
        return false;
    Ref items(PySequence_Fast(info.get(), "cannot unpack non-iterable object"));
    if (!items)
        return false;
    Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    if (n != 3) {
        if (n > 3)
            PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 3)");
        else
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 3, got %zd)", n);
        return false;
    }
    PyObject *typ = PySequence_Fast_GET_ITEM(items.get(), 0);
    PyObject *val = PySequence_Fast_GET_ITEM(items.get(), 1);
    Ref out(PyObject_GetAttrString(sys.get(), "stdout"));
    Ref print(out ? PyObject_GetAttrString(traceback.get(), "print_exception") : nullptr);
    if (!print)
        return false;
    Ref args(PyTuple_Pack(3, typ, val, Py_None));
    Ref kwargs(args ? Py_BuildValue("{sOsO}", "file", out.get(), "chain", Py_False) : nullptr);
    if (!kwargs)
        return false;
    Ref result(PyObject_Call(print.get(), args.get(), kwargs.get()));
    return static_cast<bool>(result);
}

PyObject *sig_print_exception_impl(PyObject *const *args)
{
    PyObject *sig_obj = args[0];
    PyObject *msg_obj = args[1];
    Ref encoded;
    const char *msg = nullptr;
    if (msg_obj != Py_None) {
        encoded.reset(PyObject_CallMethod(msg_obj, "encode", "s", "utf-8"));
        if (!encoded) {
            add_traceback("talvex.signals.sig_print_exception", __LINE__, nullptr);
            return nullptr;
        }
        if (PyBytes_Check(encoded.get())) {
            msg = PyBytes_AS_STRING(encoded.get());
        } else if (PyByteArray_Check(encoded.get())) {
            msg = PyByteArray_AS_STRING(encoded.get());
        } else {
            PyErr_Format(PyExc_TypeError, "expected bytes, %.200s found",
                         Py_TYPE(encoded.get())->tp_name);
            add_traceback("talvex.signals.sig_print_exception", __LINE__, nullptr);
            return nullptr;
        }
    }

    PyObject *saved_handled = PyErr_GetHandledException();
    int sig;
    if (to_int32(sig_obj, &sig))
        raise_signal_exception(sig, msg, false);  // printing has no side effect on input
    PyObject *caught = PyErr_GetRaisedException();
    PyErr_SetHandledException(caught);
    bool ok = print_handled_exception();
    if (!ok) {
        // The new error happened while `caught` was being handled.
        PyObject *error = PyErr_GetRaisedException();
        if (error != nullptr && error != caught && caught != nullptr)
            PyException_SetContext(error, Py_NewRef(caught));
        PyErr_SetRaisedException(error);
    }
    PyErr_SetHandledException(saved_handled);
    Py_XDECREF(saved_handled);
    Py_XDECREF(caught);
    if (!ok) {
        add_traceback("talvex.signals.sig_print_exception", __LINE__, nullptr);
        return nullptr;
    }
    Py_RETURN_NONE;
}

// init_talvex, from the main thread (`worker` false), or from another
// thread, where the interpreter's table of handlers cannot be set: the main
// thread completes it at its next check. `name` is the traceback entry's.
PyObject *install(bool worker, const char *name)
{
    if (!talvex::note_embedding_host()) {
        add_traceback(name, __LINE__, nullptr);
        return nullptr;
    }
    Ref signal_module(PyImport_ImportModule("signal"));
    Ref sigint(signal_module ? PyObject_GetAttrString(signal_module.get(), "SIGINT") : nullptr);
    Ref handler(sigint ? lookup_global("python_check_interrupt") : nullptr);
    talvex::InstallPlan plan = {};
    plan.main_thread = static_cast<unsigned long>(pthread_self());
    plan.main_thread_tid = talvex::kernel_thread_id();
    bool ok = static_cast<bool>(handler);
    if (ok && worker) {
        // The main thread as the interpreter knows it (its ident is its pthread_t).
        Ref threading(PyImport_ImportModule("threading"));
        Ref main_thread(threading ? PyObject_CallMethod(threading.get(), "main_thread", nullptr)
                                  : nullptr);
        Ref ident(main_thread ? PyObject_GetAttrString(main_thread.get(), "ident") : nullptr);
        Ref native_id(ident ? PyObject_GetAttrString(main_thread.get(), "native_id") : nullptr);
        ok = native_id && PyLong_Check(ident.get()) && PyLong_Check(native_id.get());
        if (ok) {
            plan.main_thread = PyLong_AsUnsignedLong(ident.get());
            plan.main_thread_tid = static_cast<int>(PyLong_AsLong(native_id.get()));
            ok = !PyErr_Occurred();
        } else if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_RuntimeError, "talvex: the main thread is unknown");
        }
    }
    Ref old(ok ? talvex::prepare_python_level(handler.get(), &plan, !worker) : nullptr);
    if (!old || (worker && !talvex::complete_later_in_main_thread())) {
        add_traceback(name, __LINE__, nullptr);
        return nullptr;
    }
    clear_raised_value();  // the record is cleared: its reference goes too
    talvex::resolve_inspector_paths();
    talvex::prepare_report_destinations();
    talvex::install_signal_handlers(plan);
    return old.release();
}

PyObject *init_talvex_impl(PyObject *const *)
{
    return install(false, "talvex.signals.init_talvex");
}

PyObject *init_talvex_from_worker_impl(PyObject *const *)
{
    return install(true, "talvex.signals._init_talvex_from_worker");
}

PyObject *setup_alt_stack_impl(PyObject *const *)
{
    talvex::setup_alt_stack();
    Py_RETURN_NONE;
}

PyObject *python_check_interrupt_impl(PyObject *const *args)
{
    PyObject *result = talvex::check_interrupt_from_python(args[0], args[1]);
    if (result == nullptr)
        add_traceback("talvex.signals.python_check_interrupt", __LINE__, nullptr);
    return result;
}

// ---------------------------------------------------------------------
// Docstrings
// ---------------------------------------------------------------------

const char kModuleDoc[] =
    "\n"
    "Interrupt and signal handling\n"
    "\n"
    "See the package's test suite in tests/ for extensive tests.\n";

const char kPariVersionDoc[] =
    "Return None: talvex is built without support for the PARI library.";

const char kSigPrintExceptionDoc[] =
    "Python version of ``sig_raise_exception()`` which prints the exception\n"
    "instead of raising it. This is only used for doctesting.\n"
    "\n"
    "EXAMPLES::\n"
    "\n"
    "    >>> import signal\n"
    "    >>> from talvex.signals import sig_print_exception\n"
    "    >>> sig_print_exception(signal.SIGFPE)\n"
    "    FloatingPointError: Floating point exception\n"
    "    >>> sig_print_exception(signal.SIGSEGV, \"CUSTOM MESSAGE\")\n"
    "    talvex.signals.SignalError: CUSTOM MESSAGE\n"
    "    >>> sig_print_exception(0)\n"
    "    SystemError: unknown signal number 0\n"
    "\n"
    "For interrupts, the message is ignored::\n"
    "\n"
    "    >>> sig_print_exception(signal.SIGINT, \"ignored\")\n"
    "    KeyboardInterrupt\n"
    "    >>> sig_print_exception(signal.SIGALRM, \"ignored\")\n"
    "    talvex.signals.AlarmInterrupt\n";

const char kInitTalvexDoc[] =
    "Initialise talvex.\n"
    "\n"
    "This is normally done exactly once, when the package is imported.\n"
    "Calling it several times is legal, for example to switch back to\n"
    "talvex's interrupt handler after other code installed a different one.\n"
    "\n"
    "OUTPUT: the old Python-level interrupt handler, as\n"
    "``signal.getsignal(signal.SIGINT)`` reported it\n"
    "\n"
    "EXAMPLES::\n"
    "\n"
    "    >>> from talvex.signals import init_talvex\n"
    "    >>> init_talvex().__name__\n"
    "    'default_int_handler'\n";

const char kInitTalvexFromWorkerDoc[] =
    "Initialise talvex from a thread other than the main one (the package\n"
    "does this when it is first imported there). The native handlers are\n"
    "installed at once; Python's table of signal handlers, which only the\n"
    "main thread may change, is completed at that thread's next check.\n"
    "\n"
    "OUTPUT: the old Python-level interrupt handler\n";

const char kSetCrashFileDoc[] =
    "Also write the crash report to the file at `path` (appended), or to no\n"
    "file for None. talvex.set_crash_file() is the public face of this.\n";

const char kSetupAltStackDoc[] =
    "Give the calling thread a fresh alternate signal stack, on which fatal\n"
    "signals (a native stack overflow among them) are handled.\n"
    "\n"
    "This is needed after a fork on OS X, because fork() disables the\n"
    "alternate stack there.\n";

const char kSetDebugLevelDoc[] =
    "Set the debug level and return the old one.\n"
    "\n"
    "Setting a positive value is only allowed when talvex was compiled\n"
    "with ``--enable-debug``.\n"
    "\n"
    "EXAMPLES::\n"
    "\n"
    "    >>> from talvex.signals import set_debug_level\n"
    "    >>> old = set_debug_level(0)\n"
    "    >>> set_debug_level(old)\n"
    "    0\n";

const char kSigOnResetDoc[] =
    "Return the current value of ``tvstate.sig_on_count`` and set it to zero.\n"
    "\n"
    "This is used by a doctesting framework to recover from a protected\n"
    "region that a test left open.\n"
    "\n"
    "EXAMPLES::\n"
    "\n"
    "    >>> from talvex.signals import sig_on_reset\n"
    "    >>> from tvclient_c import enter_region\n"
    "    >>> enter_region()\n"
    "    >>> sig_on_reset()\n"
    "    1\n"
    "    >>> sig_on_reset()\n"
    "    0\n";

const char kPythonCheckInterruptDoc[] =
    "Python-level interrupt handler for interrupts raised in Python code.\n"
    "This simply delegates to the interrupt handling of the native runtime\n"
    "in ``implementation.cpp``.\n";

const char kAlarmInterruptDoc[] =
    "Exception class for :func:`alarm` timeouts.\n"
    "\n"
    "EXAMPLES::\n"
    "\n"
    "    >>> import signal, time\n"
    "    >>> from talvex import AlarmInterrupt\n"
    "    >>> try:  # this example does not run on Windows\n"
    "    ...     _ = signal.alarm(1)\n"
    "    ...     time.sleep(2)\n"
    "    ... except AlarmInterrupt:\n"
    "    ...     print(\"alarm!\")\n"
    "    alarm!\n"
    "    >>> from talvex.signals import sig_print_exception\n"
    "    >>> sig_print_exception(signal.SIGALRM)\n"
    "    talvex.signals.AlarmInterrupt\n";

const char kSignalErrorDoc[] =
    "Exception class for critical signals such as SIGSEGV. Inherits from\n"
    "``BaseException`` because these normally should not be handled.\n"
    "\n"
    "EXAMPLES::\n"
    "\n"
    "    >>> import signal\n"
    "    >>> from talvex.signals import sig_print_exception\n"
    "    >>> sig_print_exception(signal.SIGSEGV)\n"
    "    talvex.signals.SignalError: Segmentation fault\n";

const FunctionDef kPariVersion = {"_pari_version", pari_version_impl, 0, 0, {}, kPariVersionDoc};
const FunctionDef kSigPrintException = {"sig_print_exception", sig_print_exception_impl, 2, 1,
                                        {"sig", "msg"}, kSigPrintExceptionDoc};
const FunctionDef kInitTalvex = {"init_talvex", init_talvex_impl, 0, 0, {}, kInitTalvexDoc};
const FunctionDef kSetupAltStack = {"_setup_alt_stack", setup_alt_stack_impl, 0, 0, {},
                                    kSetupAltStackDoc};
const FunctionDef kSetDebugLevel = {"set_debug_level", set_debug_level_impl, 1, 1, {"level"},
                                    kSetDebugLevelDoc};
const FunctionDef kSigOnReset = {"sig_on_reset", sig_on_reset_impl, 0, 0, {}, kSigOnResetDoc};
const FunctionDef kPythonCheckInterrupt = {"python_check_interrupt", python_check_interrupt_impl,
                                           2, 2, {"sig", "frame"}, kPythonCheckInterruptDoc};
const FunctionDef kInitTalvexFromWorker = {"_init_talvex_from_worker",
                                           init_talvex_from_worker_impl, 0, 0, {},
                                           kInitTalvexFromWorkerDoc};
const FunctionDef kSetCrashFile = {"_set_crash_file", set_crash_file_impl, 1, 1, {"path"},
                                   kSetCrashFileDoc};

// Doctest collection; the line numbers are part of the keys.
const struct {
    const char *key;
    const char *doc;
} kTestDocs[] = {
    {"sig_print_exception (line 216)", kSigPrintExceptionDoc},
    {"init_talvex (line 258)", kInitTalvexDoc},
    {"set_debug_level (line 305)", kSetDebugLevelDoc},
    {"sig_on_reset (line 328)", kSigOnResetDoc},
};

// ---------------------------------------------------------------------
// Exported interface, in publication order
// ---------------------------------------------------------------------

struct Export {
    const char *key;
    const char *signature;
    void *address;
};

template <typename F>
void *function_address(F *fn)
{
    return reinterpret_cast<void *>(fn);
}

const Export kExports[] = {
    {"tvstate", "tvstate_t", &talvex::runtime.state},
    {"add_custom_signals", "int (int (*)(void), void (*)(void), void (*)(int))",
     function_address(add_custom_signals)},
    {"sig_raise_exception", "int (int, char const *)", function_address(sig_raise_exception)},
    {"_sig_off_warning", "void (char const *, int)", function_address(_sig_off_warning)},
    {"_do_raise_exception", "void (int)", function_address(_do_raise_exception)},
    {"_sig_on_interrupt_received", "void (void)", function_address(_sig_on_interrupt_received)},
    {"_sig_on_recover", "void (void)", function_address(_sig_on_recover)},
    {"print_backtrace", "void (void)", function_address(print_backtrace)},
    {"verify_exc_value", "void (void)", function_address(verify_exc_value)},
};

// Type-check the exported functions against the types clients use.
static_assert(std::is_same<decltype(&add_custom_signals), tv_add_custom_signals_t>::value, "");
static_assert(std::is_same<decltype(&sig_raise_exception), tv_sig_raise_exception_t>::value, "");
static_assert(std::is_same<decltype(&_sig_off_warning), tv_sig_off_warning_t>::value, "");
static_assert(std::is_same<decltype(&_do_raise_exception), tv_do_raise_exception_t>::value, "");
static_assert(std::is_same<decltype(&_sig_on_interrupt_received),
                           tv_sig_on_interrupt_received_t>::value, "");
static_assert(std::is_same<decltype(&_sig_on_recover), tv_sig_on_recover_t>::value, "");
static_assert(std::is_same<decltype(&print_backtrace), tv_print_backtrace_t>::value, "");
static_assert(std::is_same<decltype(&verify_exc_value), tv_verify_exc_value_t>::value, "");

// Store `capsule(address, signature)` under `key` in __pyx_capi__.
bool publish(PyObject *capi, const Export &e)
{
    Ref capsule(PyCapsule_New(e.address, e.signature, nullptr));
    return capsule && PyDict_SetItemString(capi, e.key, capsule.get()) == 0;
}

// ---------------------------------------------------------------------
// Module creation and execution
// ---------------------------------------------------------------------

PyObject *module_create(PyObject *spec, PyModuleDef *)
{
    PyInterpreterState *interp = PyInterpreterState_Get();
    int64_t id = PyInterpreterState_GetID(interp);
    if (id == -1 && PyErr_Occurred())
        return nullptr;
    // Signals reach only the main interpreter: another one may not claim
    // the process (it could not install a handler anyway, and would lock
    // the main interpreter out).
    bool claimable = interp == PyInterpreterState_Main();
    if (loaded_interpreter_id == -1 && claimable) {
        loaded_interpreter_id = id;
    } else if (id != loaded_interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (module_ref != nullptr)
        return Py_NewRef(module_ref);

    Ref name(PyObject_GetAttrString(spec, "name"));
    if (!name)
        return nullptr;
    Ref module(PyModule_NewObject(name.get()));
    if (!module)
        return nullptr;
    PyObject *ns = PyModule_GetDict(module.get());
    static const struct {
        const char *attr;
        const char *key;
        bool store_none;
    } kCopied[] = {
        {"loader", "__loader__", true},
        {"origin", "__file__", true},
        {"parent", "__package__", true},
        {"submodule_search_locations", "__path__", false},
    };
    for (const auto &c : kCopied) {
        Ref value(PyObject_GetAttrString(spec, c.attr));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError))
                return nullptr;
            PyErr_Clear();
            continue;
        }
        if (value.get() == Py_None && !c.store_none)
            continue;
        if (PyDict_SetItemString(ns, c.key, value.get()) < 0)
            return nullptr;
    }
    return module.release();
}

// Build a class as `class name(base): __doc__ = doc` would, in this module.
PyObject *make_class(const char *name, PyObject *base, const char *doc)
{
    Ref bases(PyTuple_Pack(1, base));
    if (!bases)
        return nullptr;
    PyObject *meta = reinterpret_cast<PyObject *>(Py_TYPE(base));  // the most derived of one base
    Ref name_obj(PyUnicode_InternFromString(name));
    Ref prepare(name_obj ? PyObject_GetAttrString(meta, "__prepare__") : nullptr);
    Ref ns(prepare ? PyObject_CallFunctionObjArgs(prepare.get(), name_obj.get(), bases.get(),
                                                  nullptr)
                   : nullptr);
    if (!ns)
        return nullptr;
    Ref module_name(PyUnicode_InternFromString(kModuleName));
    Ref doc_obj(module_name ? PyUnicode_FromString(doc) : nullptr);
    if (!doc_obj || PyMapping_SetItemString(ns.get(), "__module__", module_name.get()) < 0)
        return nullptr;
    if (PyMapping_SetItemString(ns.get(), "__qualname__", name_obj.get()) < 0 ||
        PyMapping_SetItemString(ns.get(), "__doc__", doc_obj.get()) < 0)
        return nullptr;
    return PyObject_CallFunctionObjArgs(meta, name_obj.get(), bases.get(), ns.get(), nullptr);
}

// Steps from the function-object type on: failures get the start-up's
// traceback entry. Returns false with an exception set.
bool populate(PyObject *module, int *failed_line)
{
#define TV_STEP(cond)                 \
    do {                              \
        if (!(cond)) {                \
            *failed_line = __LINE__;  \
            return false;             \
        }                             \
    } while (0)

    PyObject *ns = namespace_ref;
    if (function_type == nullptr) {
        function_type = PyType_FromSpec(&function_spec);
        TV_STEP(function_type != nullptr);
    }

    PyObject *modules = PyImport_GetModuleDict();
    Ref key(PyUnicode_FromString(kModuleName));
    TV_STEP(key);
    int present = PyDict_Contains(modules, key.get());
    TV_STEP(present >= 0);
    if (!present)
        TV_STEP(PyDict_SetItemString(modules, kModuleName, module) == 0);

    Ref print_defaults(PyTuple_Pack(1, Py_None));
    TV_STEP(print_defaults);

    // The state record first, then the entry points.
    PyObject *capi = PyDict_GetItemString(ns, "__pyx_capi__");
    if (capi == nullptr) {
        Ref fresh(PyDict_New());
        TV_STEP(fresh && PyObject_SetAttrString(module, "__pyx_capi__", fresh.get()) == 0);
        capi = fresh.get();  // the namespace holds it now
    }
    TV_STEP(publish(capi, kExports[0]));
    capi = PyDict_GetItemString(ns, "__pyx_capi__");
    TV_STEP(capi != nullptr);
    for (size_t i = 1; i < sizeof(kExports) / sizeof(kExports[0]); i++)
        TV_STEP(publish(capi, kExports[i]));

    // The interpreter's type object must be at least as large as the one
    // this module was compiled against.
    {
        Py_ssize_t expected = static_cast<Py_ssize_t>(sizeof(PyHeapTypeObject));
        Py_ssize_t actual = PyType_Type.tp_basicsize;
        if (actual < expected) {
            PyErr_Format(PyExc_ValueError,
                         "builtins.type size changed, may indicate binary incompatibility. "
                         "Expected %zd from C header, got %zd from PyObject",
                         expected, actual);
            TV_STEP(false);
        }
        if (actual > expected) {
            char text[200];
            snprintf(text, sizeof(text),
                     "builtins.type size changed, may indicate binary incompatibility. "
                     "Expected %zd from C header, got %zd from PyObject",
                     expected, actual);
            TV_STEP(PyErr_WarnEx(nullptr, text, 0) == 0);
        }
    }

    {
        Ref sys(PyImport_ImportModule("sys"));
        TV_STEP(sys && PyDict_SetItemString(ns, "sys", sys.get()) == 0);
    }
    {
        Ref fromlist(Py_BuildValue("(s)", "collect"));
        Ref gc(fromlist ? PyImport_ImportModuleLevel("gc", ns, nullptr, fromlist.get(), 0)
                        : nullptr);
        TV_STEP(gc);
        Ref collect(PyObject_GetAttrString(gc.get(), "collect"));
        if (!collect && PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_SetString(PyExc_ImportError, "cannot import name collect");
        }
        TV_STEP(collect && PyDict_SetItemString(ns, "collect", collect.get()) == 0);
    }

    auto store_function = [&](const FunctionDef &def, PyObject *defaults) {
        Ref fn(new_function(&def, defaults));
        return fn && PyDict_SetItemString(ns, def.name, fn.get()) == 0;
    };
    auto store_class = [&](const char *name, PyObject *base, const char *doc) {
        Ref cls(make_class(name, base, doc));
        return cls && PyDict_SetItemString(ns, name, cls.get()) == 0;
    };

    TV_STEP(store_function(kPariVersion, nullptr));
    TV_STEP(store_class("AlarmInterrupt", PyExc_KeyboardInterrupt, kAlarmInterruptDoc));
    TV_STEP(store_class("SignalError", PyExc_BaseException, kSignalErrorDoc));
    TV_STEP(store_function(kSigPrintException, print_defaults.get()));
    TV_STEP(store_function(kInitTalvex, nullptr));
    TV_STEP(store_function(kSetupAltStack, nullptr));
    TV_STEP(store_function(kSetDebugLevel, nullptr));
    TV_STEP(store_function(kSigOnReset, nullptr));
    TV_STEP(store_function(kPythonCheckInterrupt, nullptr));

    Ref tests(PyDict_New());
    TV_STEP(tests);
    for (const auto &t : kTestDocs) {
        Ref doc(PyUnicode_FromString(t.doc));
        TV_STEP(doc && PyDict_SetItemString(tests.get(), t.key, doc.get()) == 0);
    }
    TV_STEP(PyDict_SetItemString(ns, "__test__", tests.get()) == 0);
    TV_STEP(store_function(kInitTalvexFromWorker, nullptr));
    TV_STEP(store_function(kSetCrashFile, nullptr));
    return true;
#undef TV_STEP
}

int module_exec(PyObject *module)
{
    if (module_ref != nullptr) {
        if (module_ref == module)
            return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'signals' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    module_ref = Py_NewRef(module);

    // A start-up that fails leaves no claim on the process.
    auto fail = [] {
        Py_CLEAR(module_ref);
        loaded_interpreter_id = -1;
        return -1;
    };

    PyObject *ns = PyModule_GetDict(module);  // borrowed
    if (ns == nullptr)
        return fail();
    Py_XSETREF(namespace_ref, Py_NewRef(ns));
    PyObject *builtins = PyImport_AddModule("builtins");  // borrowed
    if (builtins == nullptr)
        return fail();
    Py_XSETREF(builtins_ref, Py_NewRef(builtins));
    if (PyObject_SetAttrString(module, "__builtins__", builtins) < 0)
        return fail();

    int runtime_major = static_cast<int>((Py_Version >> 24) & 0xff);
    int runtime_minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (runtime_major != kBuiltMajor || runtime_minor != kBuiltMinor) {
        char text[200];
        snprintf(text, sizeof(text),
                 "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                 kBuiltMajor, kBuiltMinor, kModuleName, "does not match", runtime_major,
                 runtime_minor);
        if (PyErr_WarnEx(PyExc_RuntimeWarning, text, 1) < 0)
            return fail();
    }

    int failed_line = 0;
    if (!populate(module, &failed_line)) {
        add_traceback("init talvex.signals", failed_line, nullptr);
        return fail();
    }
    return 0;
}

// Whether the module runs without the GIL on a free-threaded build. The
// regions' state is process-wide and relies on the GIL serialising the
// threads that enter them, so the interpreter must turn the GIL back on
// when the module is imported (it warns that it does). The one switch to
// Py_MOD_GIL_NOT_USED once every thread's region state is its own.
#ifdef Py_mod_gil
#define TALVEX_MOD_GIL Py_MOD_GIL_USED
#endif

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(module_create)},
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
#ifdef Py_mod_gil
    {Py_mod_gil, TALVEX_MOD_GIL},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "signals",
    kModuleDoc,
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_signals(void)
{
    return PyModuleDef_Init(&module_def);
}
