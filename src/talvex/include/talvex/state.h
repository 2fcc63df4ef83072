/*
 * talvex/state.h -- the client interface of talvex.signals.
 *
 * Include this header from a C (C99 or later) or C++ extension module,
 * before any standard header (it includes Python.h, and C compiled with a
 * strict -std=c99 or -std=c11 needs it first), and bracket long native work
 * in a protected region.  The first region, check or scope fills the
 * module's table of entry points (one table for the whole extension module,
 * however many source files use it); calling talvex_import() in the
 * module's initialisation instead makes a missing talvex a clean
 * ImportError at import time:
 *
 *     static PyObject *slow(PyObject *self, PyObject *arg)
 *     {
 *         if (!sig_on())
 *             return NULL;            // an exception is set
 *         long r = long_native_loop();
 *         sig_off();
 *         return PyLong_FromLong(r);
 *     }
 *
 * Inside the region Ctrl-C (SIGINT), SIGALRM and SIGHUP abandon the native
 * code and surface as KeyboardInterrupt, talvex.AlarmInterrupt and
 * SystemExit; SIGSEGV, SIGBUS and SIGILL as talvex.SignalError, SIGFPE as
 * FloatingPointError and SIGABRT as RuntimeError.
 *
 * What a client must guarantee between sig_on() and sig_off():
 *   - A signal abandons the native frames by a jump: nothing is unwound.
 *     Hold no object with a destructor, no lock, no open resource that
 *     only those frames would release.  (C++ code that must unwind uses
 *     the cooperative API at the end of this header instead.)
 *   - A local variable of the function that calls sig_on() which is changed
 *     inside the region and read after a failed sig_on() must be volatile.
 *   - Regions nest only within one thread.  Each thread has a record of
 *     its own (the main thread's is the exported tvstate), so regions in
 *     several threads run at the same time, with or without the
 *     interpreter lock: a fault in a thread's region is that region's
 *     exception; Ctrl-C, an alarm or a hang-up sent to the process ends
 *     every open region and also reaches the main thread.
 *   - Call no Python API inside the region.
 *
 * The integer fields of tvstate_t are shared with signal handlers: access
 * them only through tv_load() and tv_store(), which are sequentially
 * consistent.
 *
 * The comments that start with two asterisks are the reference
 * documentation of each public symbol (reStructuredText, rendered by the
 * documentation's build).
 */
#ifndef TALVEX_STATE_H
#define TALVEX_STATE_H

#include <Python.h>
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/**
 * The state record of one thread's regions, shared with the signal
 * handlers.
 *
 * The main thread's record is the one talvex.signals exports as
 * ``tvstate``; every other thread's is made on its first region.  The
 * region macros keep it for you: read it only to inspect a thread's state.
 * Its field order, widths and offsets are an interface between separately
 * compiled modules: never reorder them.  Access the four integer fields only
 * through :c:func:`tv_load` and :c:func:`tv_store`.
 */
typedef struct {
    int sig_on_count;          /**< nesting depth of protected regions */
    int pending_interrupt;     /**< signal number of an unhandled interrupt */
    int handler_active;        /**< 1 while a fatal signal is being handled */
    int sigint_blocked;        /**< nonzero: interrupts only recorded */
    sigjmp_buf resume_point;   /**< where a signal jump finally lands */
    const char *message;       /**< text for the exception, or NULL */
    PyObject *raised_value;    /**< owned: the exception value last raised */
} tvstate_t;

/** The value of :c:member:`talvex_runtime_t.magic`: "tvrt". */
#define TALVEX_RUNTIME_MAGIC 0x74767274u /* "tvrt" */
/**
 * The runtime interface this header needs: :c:func:`talvex_import` refuses
 * a runtime whose :c:member:`talvex_runtime_t.abi` is lower.
 */
#define TALVEX_RUNTIME_ABI 3u
/**
 * What the runtime keeps for clients beside the main thread's record.
 *
 * The capsule ``tvstate`` holds the address of the record, which is the
 * first member of this structure, so a client finds the rest right after
 * it; :c:func:`talvex_import` checks ``magic`` and ``abi`` before anything
 * else is used.  Later versions only append members, and raise ``abi`` when
 * they do.  The header's macros and classes call these members; a module
 * has no need to.
 */
typedef struct {
    tvstate_t state;           /**< the main thread's record */
    unsigned int magic;        /**< :c:macro:`TALVEX_RUNTIME_MAGIC` */
    unsigned int abi;          /**< at least :c:macro:`TALVEX_RUNTIME_ABI` */
    /**
     * Enter a cooperative scope (see the end of this header); with
     * cooperative_exit and claim_interrupt, callable in any thread, with or
     * without the interpreter lock.
     */
    void (*cooperative_enter)(void);
    /** Leave a cooperative scope. */
    void (*cooperative_exit)(void);
    /** The interrupt waiting for the calling thread's checks, taken, or 0. */
    int (*claim_interrupt)(void);
    /**
     * The calling thread's record (the main thread's is ``state``), made
     * on a thread's first use; never NULL.  Any thread, with or without the
     * interpreter lock.
     */
    tvstate_t *(*thread_state)(void);
    /**
     * sig_check()'s slow path: 1 to go on, 0 with the exception set.
     * Takes the interpreter lock itself.
     */
    int (*poll)(void);
    /** Nonzero while a check in some thread may have an interrupt to take. */
    int attention;
    /**
     * Registers a module's own copy of ``attention`` (talvex_attention),
     * which the runtime then keeps equal to it: what the module's checks
     * read.  The module then stays loaded for good (a module of ABI 2
     * never says when its code goes); see register_unloadable_attention.
     */
    void (*register_attention)(int *word);
    /**
     * The signal that ended the calling thread's region by a jump, until
     * its recovery.
     */
    int (*landed_signal)(void);
    /**
     * ABI 3.  Registers the word as register_attention does, for a module
     * that calls unregister_attention before its code is unloaded
     * (dlclose).
     */
    void (*register_unloadable_attention)(int *word);
    /** Forgets a word: the runtime writes it no more once this returns. */
    void (*unregister_attention)(int *word);
    /**
     * Returns at once unless the interpreter is finalising; then the
     * calling thread, which the interpreter would end, waits for the
     * process's end instead (see talvex::nogil).
     */
    void (*park_if_finalizing)(void);
    /**
     * The thread (its ``pthread_t``) whose record is ``state``, or 0: its
     * regions find their record without a thread-local lookup.
     */
    unsigned long main_thread;
} talvex_runtime_t;

#if defined(__cplusplus)
#define TV_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define TV_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#else
#define TV_STATIC_ASSERT_JOIN2(a, b) a##b
#define TV_STATIC_ASSERT_JOIN(a, b) TV_STATIC_ASSERT_JOIN2(a, b)
#define TV_STATIC_ASSERT(cond, msg) \
    typedef char TV_STATIC_ASSERT_JOIN(tv_static_assert_, __LINE__)[(cond) ? 1 : -1]
#endif

TV_STATIC_ASSERT(sizeof(int) == 4, "the integer fields are 32-bit");
TV_STATIC_ASSERT(offsetof(tvstate_t, sig_on_count) == 0, "field order");
TV_STATIC_ASSERT(offsetof(tvstate_t, pending_interrupt) == 4, "field order");
TV_STATIC_ASSERT(offsetof(tvstate_t, handler_active) == 8, "field order");
TV_STATIC_ASSERT(offsetof(tvstate_t, sigint_blocked) == 12, "field order");
TV_STATIC_ASSERT(offsetof(tvstate_t, resume_point) >= 16, "field order");
/* message follows resume_point with at most alignment padding between. */
TV_STATIC_ASSERT(offsetof(tvstate_t, message) >=
                 offsetof(tvstate_t, resume_point) + sizeof(sigjmp_buf) &&
                 offsetof(tvstate_t, message) <
                 offsetof(tvstate_t, resume_point) + sizeof(sigjmp_buf) + sizeof(void *),
                 "message directly follows resume_point");
TV_STATIC_ASSERT(offsetof(tvstate_t, raised_value) ==
                 offsetof(tvstate_t, message) + sizeof(void *),
                 "raised_value directly follows message");
TV_STATIC_ASSERT(offsetof(talvex_runtime_t, state) == 0, "the record comes first");

/* Sequentially consistent access to the four integer fields: a store is a
 * sequentially consistent atomic store, which orders it before every later
 * load (on x86-64 one xchg: the store and a full fence in one
 * instruction). Only sig_off() decrements the count in one access. */

/**
 * Read an integer field of a :c:type:`tvstate_t` record, sequentially
 * consistent with the signal handlers' stores.
 *
 * :param field: the field's address, such as ``&st->sig_on_count``.
 * :return: its value.
 */
static inline int tv_load(const int *field)
{
    return __atomic_load_n(field, __ATOMIC_SEQ_CST);
}

/**
 * Store into an integer field of a :c:type:`tvstate_t` record: a
 * sequentially consistent atomic store, ordered before every later load.
 *
 * :param field: the field's address.
 * :param value: the value to store.
 */
static inline void tv_store(int *field, int value)
{
    __atomic_store_n(field, value, __ATOMIC_SEQ_CST);
}

/* The exported entry points: their types spell exactly the signature
 * strings under which talvex.signals publishes them in __pyx_capi__. */
typedef int (*tv_add_custom_signals_t)(int (*)(void), void (*)(void), void (*)(int));
typedef int (*tv_sig_raise_exception_t)(int, const char *);
typedef void (*tv_sig_off_warning_t)(const char *, int);
typedef void (*tv_do_raise_exception_t)(int);
typedef void (*tv_sig_on_interrupt_received_t)(void);
typedef void (*tv_sig_on_recover_t)(void);
typedef void (*tv_print_backtrace_t)(void);
typedef void (*tv_verify_exc_value_t)(void);

/**
 * The module's table of talvex's entry points, filled by
 * :c:func:`talvex_import` (or the first region) from
 * ``talvex.signals.__pyx_capi__``.  The region macros call them; the
 * members are named as the entries are exported, without a leading
 * underscore.
 */
typedef struct {
    tvstate_t *state;          /**< the main thread's record; NULL until the table is filled */
    tv_add_custom_signals_t add_custom_signals;
    tv_sig_raise_exception_t sig_raise_exception;
    tv_sig_off_warning_t sig_off_warning;
    tv_do_raise_exception_t do_raise_exception;
    tv_sig_on_interrupt_received_t sig_on_interrupt_received;
    tv_sig_on_recover_t sig_on_recover;
    tv_print_backtrace_t print_backtrace;
    tv_verify_exc_value_t verify_exc_value;
} talvex_api_t;

/**
 * The table of this extension module: every source file that includes this
 * header refers to the same (weak, hidden) definition, so a region opened in
 * one file works whichever file imported.  Each extension module has its
 * own.
 */
#if defined(__GNUC__)
__attribute__((weak, visibility("hidden"))) talvex_api_t talvex_api;
#else
static talvex_api_t talvex_api;
#endif

#if defined(__GNUC__)
#define TV_LIKELY(x) __builtin_expect(!!(x), 1)
#define TV_UNLIKELY(x) __builtin_expect(!!(x), 0)
#else
#define TV_LIKELY(x) (x)
#define TV_UNLIKELY(x) (x)
#endif

#if defined(__GNUC__)
/* `unused`: a module that never takes the slow path is not warned. */
#define TV_COLD_ __attribute__((noinline, cold, unused))
#else
#define TV_COLD_
#endif

static inline void *talvex_capi_get_(PyObject *capi, const char *key, const char *signature)
{
    PyObject *capsule = PyDict_GetItemString(capi, key); /* borrowed */
    if (capsule == NULL) {
        PyErr_Format(PyExc_ImportError,
                     "talvex.signals does not export %s", key);
        return NULL;
    }
    if (!PyCapsule_IsValid(capsule, signature)) {
        const char *found = PyCapsule_CheckExact(capsule)
                                ? PyCapsule_GetName(capsule) : NULL;
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError,
                     "talvex.signals exports %s with signature '%s', "
                     "this module was compiled for '%s'",
                     key, found ? found : "(not a capsule)", signature);
        return NULL;
    }
    return PyCapsule_GetPointer(capsule, signature);
}

/**
 * Import talvex.signals and fill :c:data:`talvex_api` with the state record
 * and the eight entry points of its ``__pyx_capi__``.
 *
 * Call it in the module's initialisation, so that a missing or mismatched
 * talvex is an ``ImportError`` at import; without it, the module's first
 * region, check or scope fills the table.  Needs the interpreter lock;
 * cheap once the table is filled.
 *
 * :return: 0, or -1 with ``ImportError`` set, naming the entry that is
 *     missing or has another signature, or saying that the runtime does not
 *     match this header.
 */
static inline int talvex_import(void)
{
    static const struct { const char *key; const char *signature; size_t offset; } entries[] = {
        {"tvstate", "tvstate_t", offsetof(talvex_api_t, state)},
        {"add_custom_signals", "int (int (*)(void), void (*)(void), void (*)(int))",
         offsetof(talvex_api_t, add_custom_signals)},
        {"sig_raise_exception", "int (int, char const *)",
         offsetof(talvex_api_t, sig_raise_exception)},
        {"_sig_off_warning", "void (char const *, int)",
         offsetof(talvex_api_t, sig_off_warning)},
        {"_do_raise_exception", "void (int)", offsetof(talvex_api_t, do_raise_exception)},
        {"_sig_on_interrupt_received", "void (void)",
         offsetof(talvex_api_t, sig_on_interrupt_received)},
        {"_sig_on_recover", "void (void)", offsetof(talvex_api_t, sig_on_recover)},
        {"print_backtrace", "void (void)", offsetof(talvex_api_t, print_backtrace)},
        {"verify_exc_value", "void (void)", offsetof(talvex_api_t, verify_exc_value)},
    };
    talvex_api_t api;
    size_t i;
    PyObject *module, *capi;

    if (talvex_api.state != NULL)
        return 0;
    module = PyImport_ImportModule("talvex.signals");
    if (module == NULL)
        return -1;
    capi = PyObject_GetAttrString(module, "__pyx_capi__");
    Py_DECREF(module);
    if (capi == NULL)
        return -1;
    if (!PyDict_Check(capi)) {
        PyErr_SetString(PyExc_ImportError, "talvex.signals.__pyx_capi__ is not a dict");
        Py_DECREF(capi);
        return -1;
    }
    for (i = 0; i < sizeof(entries) / sizeof(entries[0]); i++) {
        void *p = talvex_capi_get_(capi, entries[i].key, entries[i].signature);
        if (p == NULL) {
            Py_DECREF(capi);
            return -1;
        }
        /* Data and function pointers share a representation on every POSIX
         * platform (dlsym relies on it too). */
        memcpy((char *)&api + entries[i].offset, &p, sizeof(p));
    }
    Py_DECREF(capi);
    {
        const talvex_runtime_t *rt = (const talvex_runtime_t *)api.state;
        if (rt->magic != TALVEX_RUNTIME_MAGIC || rt->abi < TALVEX_RUNTIME_ABI) {
            PyErr_SetString(PyExc_ImportError,
                            "talvex.signals does not match the talvex/state.h this module "
                            "was compiled with; rebuild the module against the installed talvex");
            return -1;
        }
    }
    /* Readers without the interpreter lock test `state` first: it is
     * published last. */
    {
        tvstate_t *state = api.state;
        api.state = talvex_api.state;
        talvex_api = api;
        __atomic_store_n(&talvex_api.state, state, __ATOMIC_RELEASE);
    }
    return 0;
}

/* Fill the table on first use, for modules that never called
 * talvex_import().  Returns the record, or NULL with ImportError set (or,
 * with `report`, written as unraisable where the caller has no way to
 * return an error). */
static TV_COLD_ tvstate_t *talvex_import_lazily_(int report)
{
    PyGILState_STATE gil = PyGILState_Ensure();
    tvstate_t *state = talvex_import() == 0 ? talvex_api.state : NULL;
    if (state == NULL && report)
        PyErr_WriteUnraisable(NULL);
    PyGILState_Release(gil);
    return state;
}

static inline tvstate_t *tv_state_(int report)
{
    tvstate_t *st = __atomic_load_n(&talvex_api.state, __ATOMIC_ACQUIRE);
    if (TV_UNLIKELY(st == NULL))
        st = talvex_import_lazily_(report);
    return st;
}

static inline const talvex_runtime_t *tv_runtime_(int report)
{
    return (const talvex_runtime_t *)tv_state_(report);
}

/* The calling thread's record, one pointer per extension module and
 * thread, filled on the thread's first region: regions in different
 * threads never share a resume point. */
#if defined(__GNUC__)
__attribute__((weak, visibility("hidden"))) __thread tvstate_t *talvex_thread_state;
#else
static _Thread_local tvstate_t *talvex_thread_state;
#endif

static TV_COLD_ tvstate_t *tv_thread_state_slow_(int report)
{
    const talvex_runtime_t *rt = tv_runtime_(report);
    if (rt == NULL)
        return NULL;
    talvex_thread_state = rt->thread_state();
    return talvex_thread_state;
}

/* The calling thread's pthread_t without a call: on x86-64 glibc and musl
 * alike it is the thread pointer itself. */
static inline unsigned long tv_self_(void)
{
#if defined(__x86_64__) && defined(__GNUC__) && defined(__linux__)
    unsigned long self;
    __asm__("mov %%fs:0, %0" : "=r"(self));
    return self;
#else
    return (unsigned long)pthread_self();
#endif
}

static inline tvstate_t *tv_thread_state_(int report)
{
    /* The main thread's record is the exported one, the first member of
     * the runtime: a program that never runs regions in other threads pays
     * for no thread-local lookup. No local variable: this is inlined beside
     * a sigsetjmp(), where the compiler would warn that one might be
     * clobbered. */
    if (TV_LIKELY(talvex_api.state != NULL &&
                  __atomic_load_n(&((const talvex_runtime_t *)talvex_api.state)->main_thread,
                                  __ATOMIC_RELAXED) == tv_self_()))
        return talvex_api.state;
    return TV_LIKELY(talvex_thread_state != NULL) ? talvex_thread_state
                                                  : tv_thread_state_slow_(report);
}

/* One per extension module: nonzero while a check may have something to
 * take. It starts at 1, so that the module's first check goes to the
 * runtime, which registers it and from then on keeps it up to date. */
#if defined(__GNUC__)
__attribute__((weak, visibility("hidden"))) int talvex_attention = 1;
__attribute__((weak, visibility("hidden"))) int talvex_attention_registered;
#else
static int talvex_attention = 1;
static int talvex_attention_registered;
#endif

static inline void tv_register_attention_(const talvex_runtime_t *rt)
{
    if (!__atomic_load_n(&talvex_attention_registered, __ATOMIC_ACQUIRE)) {
        rt->register_unloadable_attention(&talvex_attention);
        __atomic_store_n(&talvex_attention_registered, 1, __ATOMIC_RELEASE);
    }
}

#if defined(__GNUC__)
/* Run when the module is unloaded (dlclose) or the process exits: the
 * runtime stops writing the module's word before its memory goes. One copy
 * per source file; the first to run does the work. */
__attribute__((destructor, unused)) static void tv_unregister_attention_(void)
{
    const talvex_runtime_t *rt;
    if (!__atomic_exchange_n(&talvex_attention_registered, 0, __ATOMIC_ACQ_REL))
        return;
    rt = (const talvex_runtime_t *)__atomic_load_n(&talvex_api.state, __ATOMIC_ACQUIRE);
    if (rt != NULL)
        rt->unregister_attention(&talvex_attention);
}
#endif

/* sig_check()'s slow path: out of line and cold, so that the loop around
 * the poll keeps its registers. */
static TV_COLD_ int tv_poll_slow_(void)
{
    const talvex_runtime_t *rt = tv_runtime_(0);
    if (rt == NULL)
        return 0;
    tv_register_attention_(rt);
    return rt->poll();
}

/* ---------------------------------------------------------------------
 * Protected regions: sig_on() or sig_str() ... sig_off(), with shields
 * (sig_block(), sig_unblock()) inside, and sig_check() for loops outside.
 *
 * Each thread has its own record: a region, its nesting and its shield
 * belong to the thread that opened it.  sig_on() must be a macro: the
 * resume point is recorded in the frame of the function that calls it,
 * and that frame must stay active until sig_off().
 * ------------------------------------------------------------------- */

/* Before the recording: a nested entry only counts (returns 1); the
 * outermost entry stores its message and goes on to record (returns 0).
 * Without the table (talvex not importable) it returns 1 too, and
 * tv_sig_on_entered_() then says the region failed. */
static inline int tv_sig_on_nested_(const char *message)
{
    tvstate_t *st = tv_thread_state_(0);
    int count;
    if (TV_UNLIKELY(st == NULL))
        return 1;
    count = tv_load(&st->sig_on_count);
    if (count > 0) {
        tv_store(&st->sig_on_count, count + 1);
        return 1;
    }
    st->message = message;
    return 0;
}

static inline int tv_sig_on_entered_(void)
{
    return talvex_api.state != NULL;   /* else ImportError is set */
}

/* The record of a thread whose region tv_sig_on_nested_() just found (or
 * made): no slow path. */
static inline tvstate_t *tv_entered_record_(void)
{
    return __atomic_load_n(&((const talvex_runtime_t *)talvex_api.state)->main_thread,
                           __ATOMIC_RELAXED) == tv_self_()
               ? talvex_api.state
               : talvex_thread_state;
}

/* After the recording's direct return. */
static inline int tv_sig_on_recorded_(void)
{
    tvstate_t *st = tv_entered_record_();
    /* The count goes up only now that the resume point is valid. */
    tv_store(&st->sig_on_count, 1);
    if (TV_UNLIKELY(tv_load(&st->pending_interrupt))) {
        talvex_api.sig_on_interrupt_received();
        return 0;
    }
    return 1;
}

/* After a handler's jump back to the resume point. */
static TV_COLD_ int tv_sig_on_jumped_(void)
{
    int sig = ((const talvex_runtime_t *)talvex_api.state)->landed_signal();
    /* Idle first, so that whatever the exception runs (a handler the
     * program set for the signal) runs outside the region. */
    talvex_api.sig_on_recover();
    talvex_api.do_raise_exception(sig);
    return 0;
}

/* One expression, so that sig_on() stands wherever a call can. The
 * recording's value is only compared with 0: the signal comes from the
 * runtime, so that no value lives across the second return. */

/**
 * Enter a protected region whose exception carries ``message``.
 *
 * As :c:macro:`sig_on`, and a fault in the region gives its
 * ``SignalError``, ``FloatingPointError`` or ``RuntimeError`` the text
 * ``message`` instead of the signal's default ("Segmentation fault", ...).
 *
 * :param message: a static or otherwise long-lived UTF-8 text, or NULL.
 * :return: nonzero to run the protected code; 0 with the exception set.
 */
#define sig_str(message)                                                    \
    (tv_sig_on_nested_(message)                                             \
         ? tv_sig_on_entered_()                                             \
         : sigsetjmp(tv_entered_record_()->resume_point, 0) == 0            \
               ? tv_sig_on_recorded_()                                      \
               : tv_sig_on_jumped_())
/**
 * Enter a protected region.
 *
 * Until the matching :c:macro:`sig_off`, Ctrl-C (SIGINT), SIGALRM and
 * SIGHUP abandon the native code by a jump back here, and so do a fault,
 * FP trap or abort: ``sig_on()`` then returns a second time, 0, with the
 * signal's Python exception set (``KeyboardInterrupt``, ...,
 * ``SignalError``).  It also returns 0 when an interrupt was already
 * pending, or talvex could not be imported.
 *
 * A jump unwinds nothing: hold no object with a destructor, lock or
 * resource in the region; a local variable changed in it and read after a
 * failed ``sig_on()`` must be ``volatile``; call no Python API in it.
 * Regions nest within a thread (an inner ``sig_on()`` only counts; the jump
 * lands at the outermost).  A macro, as the resume point is recorded in the
 * calling function's frame, which must stay active until ``sig_off()``.
 *
 * :return: nonzero: run the protected code.  0: a Python exception is set;
 *     return your error result (in C++, with the interpreter lock held,
 *     ``throw py::error_already_set()`` or ``nb::python_error()``).
 */
#define sig_on() sig_str(NULL)

static inline void tv_sig_off_(const char *file, int line)
{
    tvstate_t *st = tv_thread_state_(1);
    if (TV_UNLIKELY(st == NULL))
        return;
    /* One sequentially consistent decrement: a load of the count before a
     * store would wait for the store that opened the region to complete. */
    if (TV_UNLIKELY(__atomic_fetch_sub(&st->sig_on_count, 1, __ATOMIC_SEQ_CST) <= 0)) {
        /* No region was open: the count is left as it was. */
        __atomic_fetch_add(&st->sig_on_count, 1, __ATOMIC_SEQ_CST);
        talvex_api.sig_off_warning(file, line);
    }
}
/**
 * Leave the protected region that :c:macro:`sig_on` entered (or one level
 * of a nested region).
 *
 * Leaving a region that was never entered changes nothing and issues a
 * ``RuntimeWarning`` naming the file and line of the call.
 */
#define sig_off() tv_sig_off_(__FILE__, __LINE__)

/**
 * Poll for an interrupt in a loop that runs outside any region.
 *
 * One load of a word of this module's own while nothing is pending.  In the
 * main thread it takes every interrupt.  In any other thread it follows the
 * poll rule: outside a region or cooperative scope, and without the
 * interpreter lock, it takes no interrupt sent to the process (the main
 * thread's Python code raises it), and the first such poll after one says
 * so with a ``RuntimeWarning``; there, run the loop in a region, or poll
 * :cpp:func:`talvex::check` in a cooperative scope.
 *
 * :return: nonzero to go on; 0 with the interrupt's Python exception set.
 */
static inline int sig_check(void)
{
    /* A plain read of this module's own word: a poll that finds nothing to
     * do costs what a volatile flag costs, and keeps the compiler free to
     * optimise the loop around it. The runtime raises the word after it
     * records a signal; a poll that reads it a moment too early sees it at
     * the next poll. */
    if (TV_LIKELY(*(const volatile int *)&talvex_attention == 0))
        return 1;
    return tv_poll_slow_();
}

/**
 * Shield the code that follows, inside a region, from interrupts: one that
 * arrives meanwhile is only recorded, and delivered by
 * :c:func:`sig_unblock`.  Fatal signals are never shielded.
 */
static inline void sig_block(void)
{
    tvstate_t *st = tv_thread_state_(1);
    if (st != NULL)
        tv_store(&st->sigint_blocked, 1);
}

/**
 * Lift the shield of :c:func:`sig_block`.  An interrupt that arrived
 * meanwhile is delivered now, ending the region as if it had just arrived.
 */
static inline void sig_unblock(void)
{
    tvstate_t *st = tv_thread_state_(1);
    int sig;
    if (st == NULL)
        return;
    tv_store(&st->sigint_blocked, 0);
    sig = tv_load(&st->pending_interrupt);
    /* Re-deliver an interrupt that arrived while shielded: the handler
     * now jumps out of the region with it. */
    if (TV_UNLIKELY(sig) && tv_load(&st->sig_on_count) > 0 &&
        (sig == SIGINT || sig == SIGALRM || sig == SIGHUP))
        raise(sig);
}

#ifdef __cplusplus
} /* extern "C" */
#endif

#ifdef __cplusplus
/* ---------------------------------------------------------------------
 * Cooperative interrupts for C++ code that must unwind.
 *
 * A jump out of a region skips destructors, so C++ code that owns objects
 * polls instead:
 *
 *     std::vector<double> work(...);          // destroyed on interrupt
 *     {
 *         talvex::cooperative scope;          // interrupts only recorded
 *         for (...) {
 *             talvex::check();                // one load
 *             ...
 *         }
 *     }
 *
 * and turns talvex::interrupted into the Python exception at the binding
 * boundary: talvex::guard() for a plain CPython function, or
 * talvex::translate registered with pybind11 / nanobind:
 *
 *     py::register_exception_translator(&talvex::translate);   // pybind11
 *     nb::register_exception_translator(                       // nanobind
 *         [](const std::exception_ptr &p, void *) { talvex::translate(p); });
 *
 * Threads: cooperative scopes work in any thread, with or without the
 * interpreter lock, in several threads at once, and beside sig_on()
 * regions.  Ctrl-C, an alarm or a hang-up sent to the process reaches
 * every open scope (its next check() throws) and every open region, and
 * the main thread as well; one sent to a single thread (pthread_kill,
 * raise) reaches that thread's region or scope.  A signal for which the
 * program set its own Python handler belongs to the main thread: check()
 * throws it there (SIGQUIT and a SIGABRT sent by another process too),
 * and the handler's exception is what translate() or guard() set.
 * Outside a scope, talvex::check() follows sig_check()'s poll rule.  Inside a cooperative scope a fatal signal is never turned
 * into a jump (there is no resume point to go to): it ends the process
 * with the crash report.
 * Poll with talvex::check(), not sig_check(), inside a scope.
 * ------------------------------------------------------------------- */
#include <exception>
#include <utility>
#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace talvex {

/**
 * Thrown by :cpp:func:`talvex::check` when an interrupt (SIGINT, SIGALRM,
 * SIGHUP) is pending for the thread, or, in the main thread, a signal the
 * program set a Python handler for (SIGQUIT and a SIGABRT sent by another
 * process included).  ``signal()`` is its number;
 * :cpp:func:`talvex::translate` and :cpp:func:`talvex::guard` turn it into
 * the Python exception.
 */
class interrupted : public std::exception {
public:
    explicit interrupted(int sig) noexcept : sig_(sig) {}
    int signal() const noexcept { return sig_; }
    const char *what() const noexcept override { return "talvex: interrupted by a signal"; }

private:
    int sig_;
};

inline const talvex_runtime_t *runtime_() noexcept
{
    return reinterpret_cast<const talvex_runtime_t *>(tv_state_(1));
}

/**
 * A cooperative scope: while one exists, interrupts that reach this thread
 * outside a :c:macro:`sig_on` region are only recorded, for
 * :cpp:func:`talvex::check` to throw.
 *
 * For C++ code that owns objects, which a region's jump would skip.  Any
 * thread, with or without the interpreter lock, in several threads at once
 * and beside regions; a region inside a scope works too.  A fault inside a
 * scope (outside a region) is not an exception: it ends the process with
 * the crash report.
 */
class cooperative {
public:
    /* Not noexcept: a first use in a thread that the finalising
     * interpreter ends unwinds through it. */
    cooperative() : runtime_(talvex::runtime_())
    {
        if (runtime_ != nullptr)
            runtime_->cooperative_enter();
    }
    ~cooperative()
    {
        if (runtime_ != nullptr)
            runtime_->cooperative_exit();
    }
    cooperative(const cooperative &) = delete;
    cooperative &operator=(const cooperative &) = delete;

private:
    const talvex_runtime_t *runtime_;
};

/**
 * Releases the interpreter lock until the end of its block, as
 * py::gil_scoped_release or Py_BEGIN_ALLOW_THREADS do, for a cooperative
 * loop or a region that a daemon thread may run while the program exits.
 *
 * Taking the lock back in a finalising interpreter ends the thread with a
 * forced unwind (pthread_exit), which std::terminate()s the process when
 * it meets a :cpp:class:`talvex::interrupted` on its way out: then the
 * thread waits for the process's end instead.  Otherwise the unwind goes
 * on.
 */
class nogil {
public:
    nogil() : state_(PyEval_SaveThread()) {}
    ~nogil() noexcept(false)
    {
        try {
            PyEval_RestoreThread(state_);
        } catch (...) {  /* abi::__forced_unwind: nothing else is thrown from C */
            const talvex_runtime_t *rt = reinterpret_cast<const talvex_runtime_t *>(
                __atomic_load_n(&talvex_api.state, __ATOMIC_ACQUIRE));
#if defined(__cpp_lib_uncaught_exceptions)
            bool unwinding = std::uncaught_exceptions() > 0;
#else
            bool unwinding = std::uncaught_exception();
#endif
            if (rt != nullptr && unwinding)
                rt->park_if_finalizing();
            throw;
        }
    }
    nogil(const nogil &) = delete;
    nogil &operator=(const nogil &) = delete;

private:
    PyThreadState *state_;
};

/* Out of line and cold, so check() stays one load and a branch: the
 * interrupt waiting for this thread, taken, or 0. */
TV_COLD_ inline int claim_slow_()
{
    const talvex_runtime_t *rt = runtime_();
    if (rt == nullptr)
        return 0;
    tv_register_attention_(rt);
    return rt->claim_interrupt();
}

/**
 * Claim the interrupt waiting for this thread, if any, and throw it as
 * :cpp:class:`talvex::interrupted`: one plain read of the module's word
 * while nothing waits, as :c:func:`sig_check`.
 *
 * Poll it inside a :cpp:class:`talvex::cooperative` scope, which gets every
 * interrupt sent to the process, in any thread.
 */
inline void check()
{
    /* Thrown from the caller's own frame: a throw costs the unwinder a
     * lookup per frame, microseconds when its tables are not in the cache. */
    if (TV_UNLIKELY(*(const volatile int *)&talvex_attention != 0)) {
        int sig = claim_slow_();
        if (sig != 0)
            throw interrupted(sig);
    }
}

/**
 * Set the Python exception for an interrupt (takes the interpreter lock):
 * what the program's own handler for the signal raises, when it set one
 * with ``signal.signal()`` and this is the main thread, else the signal's
 * own exception.
 */
inline void set_python_error(const interrupted &e)
{
    if (runtime_() != nullptr)
        talvex_api.do_raise_exception(e.signal());
}

/**
 * An exception translator for pybind11 and nanobind: handles
 * :cpp:class:`talvex::interrupted`, and lets every other exception through
 * to the next translator.  Register it once::
 *
 *     py::register_exception_translator(&talvex::translate);   // pybind11
 *     nb::register_exception_translator(                       // nanobind
 *         [](const std::exception_ptr &p, void *) { talvex::translate(p); });
 */
inline void translate(std::exception_ptr p)
{
    try {
        if (p)
            std::rethrow_exception(p);
    } catch (const interrupted &e) {
        set_python_error(e);
    }
}

/**
 * Run ``f`` (returning ``PyObject *``) at a CPython-API boundary, where no
 * C++ exception may cross into the interpreter: ``return talvex::guard([&]
 * { ...; return result; });``.  An interrupt becomes its Python exception,
 * any other exception ``RuntimeError``; the result is then null.  Call it
 * with the interpreter lock held.
 */
template <class F>
PyObject *guard(F &&f)
{
    try {
        return std::forward<F>(f)();
    } catch (const interrupted &e) {
        set_python_error(e);
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind &) {
        throw;  /* pthread_exit() ending the thread: never swallowed */
#endif
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
    return NULL;
}

}  /* namespace talvex */
#endif /* __cplusplus */

#endif /* TALVEX_STATE_H */
