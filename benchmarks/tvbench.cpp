/*
 * tvbench: the native half of `make bench`.
 *
 * A talvex client like any user's module: compiled on its own against the
 * installed <talvex/state.h> and nothing else of talvex. It carries
 *   - Google Benchmark micro-benchmarks of the region macros and checks,
 *     each beside the comparison it is judged against, all in this one
 *     binary so that compiler, flags and code placement are shared;
 *   - interrupt-latency loops that arm a POSIX timer for a known expiry and
 *     then wait for it in one of four ways;
 *   - a fault outside any region, for the crash-to-exit timing.
 * bench.py drives it and does the statistics.
 */
#define PY_SSIZE_T_CLEAN
#include <talvex/state.h>

#include <benchmark/benchmark.h>

#include <csetjmp>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <sys/syscall.h>
#include <unistd.h>

namespace {

/* ------------------------------------------------------------------ */
/* Micro-benchmarks                                                   */
/* ------------------------------------------------------------------ */

/* Every benchmark does kBatch operations per harness iteration, so the
 * harness's own loop costs a fraction of an operation; bench.py divides. */
constexpr int kBatch = 8;
#define TVB_BATCH(op) op op op op op op op op

/* The cheapest call there is: the comparison for a region's cost as seen
 * by the caller. noipa keeps GCC from proving it empty and dropping it. */
#if defined(__GNUC__) && !defined(__clang__)
__attribute__((noinline, noipa))
#else
__attribute__((noinline))
#endif
void empty_function()
{
    asm volatile("");
}

void BM_empty_call(benchmark::State &s)
{
    for (auto _ : s) {
        TVB_BATCH(empty_function();)
    }
}

/* The floor: what any jump-based region must do at the least, recording a
 * resume point without the signal mask and the two fenced stores of the
 * count (up on entry, down on exit), laid out like the real record. */
struct FloorRecord {
    int count;
    sigjmp_buf resume_point;
};
FloorRecord floor_record;

void BM_floor(benchmark::State &s)
{
    for (auto _ : s) {
        TVB_BATCH(
            if (TV_UNLIKELY(sigsetjmp(floor_record.resume_point, 0) != 0)) {
                s.SkipWithError("floor: unexpected jump");
                break;
            }
            tv_store(&floor_record.count, 1);
            tv_store(&floor_record.count, 0);)
    }
}

bool interrupted_during_benchmark = false;

void BM_sig_on_off(benchmark::State &s)
{
    for (auto _ : s) {
        TVB_BATCH(
            if (TV_UNLIKELY(!sig_on())) {
                interrupted_during_benchmark = true;
                s.SkipWithError("interrupted");
                break;
            }
            sig_off();)
    }
}

void BM_sig_check(benchmark::State &s)
{
    for (auto _ : s) {
        TVB_BATCH(
            if (TV_UNLIKELY(!sig_check())) {
                interrupted_during_benchmark = true;
                s.SkipWithError("interrupted");
                break;
            })
    }
}

void BM_cooperative_check(benchmark::State &s)
{
    talvex::cooperative scope;
    try {
        for (auto _ : s) {
            TVB_BATCH(talvex::check();)
        }
    } catch (const talvex::interrupted &e) {
        talvex::set_python_error(e);
        interrupted_during_benchmark = true;
        s.SkipWithError("interrupted");
    }
}

/* The interpreter's own poll: what a client without talvex calls. The
 * harness runs in the main thread with the interpreter lock held, the only
 * place where it does any work. */
void BM_PyErr_CheckSignals(benchmark::State &s)
{
    for (auto _ : s) {
        TVB_BATCH(
            if (TV_UNLIKELY(PyErr_CheckSignals() < 0)) {
                interrupted_during_benchmark = true;
                s.SkipWithError("interrupted");
                break;
            })
    }
}

BENCHMARK(BM_empty_call);
BENCHMARK(BM_floor);
BENCHMARK(BM_sig_on_off);
BENCHMARK(BM_sig_check);
BENCHMARK(BM_cooperative_check);
BENCHMARK(BM_PyErr_CheckSignals);

/* ------------------------------------------------------------------ */
/* Signals: an interrupt outside any region, a recovery               */
/* ------------------------------------------------------------------ */

/* raise() runs the handler in this thread before it returns, so each
 * operation is one whole path: the native handler, the interpreter's
 * check running the Python-level handler, the exception set and cleared. */
void interrupt_outside(benchmark::State &s, int sig)
{
    for (auto _ : s) {
        TVB_BATCH(
            raise(sig);
            if (TV_UNLIKELY(PyErr_CheckSignals() == 0)) {
                s.SkipWithError("the signal raised no exception");
                break;
            }
            PyErr_Clear();)
    }
}

/* talvex's path: its handler records SIGINT and alerts the interpreter,
 * python_check_interrupt claims it and raises KeyboardInterrupt. */
void BM_interrupt_outside_talvex(benchmark::State &s)
{
    interrupt_outside(s, SIGINT);
}

/* Plain CPython's path, in the same process: bench.py gives SIGUSR1 the
 * interpreter's own handler at both levels (its native handler, and
 * signal.default_int_handler, which raises KeyboardInterrupt). */
void BM_interrupt_outside_cpython(benchmark::State &s)
{
    interrupt_outside(s, SIGUSR1);
}

/* A recovery by the protocol itself: the resume point, the count, a signal
 * that jumps (through the trampoline) and _sig_on_recover(). No Python
 * exception is made; the figure is the runtime's part. noinline: the
 * frame that records the resume point is this function's own. */
__attribute__((noinline)) bool one_recovery(int how, sigset_t *landing = nullptr)
{
    tvstate_t *st = talvex_api.state;
    st->message = nullptr;
    if (sigsetjmp(st->resume_point, 0) == 0) {
        tv_store(&st->sig_on_count, 1);
        if (how == SIGSEGV)
            *static_cast<volatile int *>(nullptr) = 1;
        else
            raise(how);
        tv_store(&st->sig_on_count, 0);
        return false;
    }
    if (landing != nullptr)
        sigprocmask(SIG_SETMASK, nullptr, landing);
    talvex_api.sig_on_recover();
    return true;
}

void recovery(benchmark::State &s, int how)
{
    for (auto _ : s) {
        TVB_BATCH(
            if (TV_UNLIKELY(!one_recovery(how))) {
                s.SkipWithError("no jump");
                break;
            })
    }
}

void BM_recovery_interrupt(benchmark::State &s)
{
    recovery(s, SIGINT);
}

void BM_recovery_fault(benchmark::State &s)
{
    recovery(s, SIGSEGV);
}

/* The floor of a recovery: a bare handler jumps to a point recorded
 * without the mask, which then puts back the one mask the kernel changed
 * for the handler (one sigprocmask): what any jump-based recovery costs. */
sigjmp_buf bare_buf;
sigset_t bare_mask;

void bare_jump(int sig)
{
    siglongjmp(bare_buf, sig);
}

__attribute__((noinline)) bool one_bare_recovery(int how)
{
    if (sigsetjmp(bare_buf, 0) == 0) {
        if (how == SIGSEGV)
            *static_cast<volatile int *>(nullptr) = 1;
        else
            raise(how);
        return false;
    }
    sigprocmask(SIG_SETMASK, &bare_mask, nullptr);
    return true;
}

/* Installs bare_jump for `sig` for the benchmark's run, then puts back
 * what was there (talvex's handler, for SIGSEGV). */
void bare_recovery(benchmark::State &s, int sig)
{
    struct sigaction sa, previous;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = bare_jump;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_NODEFER | SA_ONSTACK;
    sigprocmask(SIG_SETMASK, nullptr, &bare_mask);
    sigaction(sig, &sa, &previous);
    for (auto _ : s) {
        TVB_BATCH(
            if (TV_UNLIKELY(!one_bare_recovery(sig))) {
                s.SkipWithError("no jump");
                break;
            })
    }
    sigaction(sig, &previous, nullptr);
}

void BM_bare_recovery_interrupt(benchmark::State &s)
{
    bare_recovery(s, SIGVTALRM);
}

void BM_bare_recovery_fault(benchmark::State &s)
{
    bare_recovery(s, SIGSEGV);
}

/* One sigprocmask(SIG_SETMASK) that changes nothing: what the second mask
 * change of a recovery costs at the least. */
void BM_sigprocmask(benchmark::State &s)
{
    sigset_t mask;
    sigprocmask(SIG_SETMASK, nullptr, &mask);
    for (auto _ : s) {
        TVB_BATCH(sigprocmask(SIG_SETMASK, &mask, nullptr);)
    }
}

BENCHMARK(BM_interrupt_outside_talvex);
BENCHMARK(BM_interrupt_outside_cpython);
BENCHMARK(BM_recovery_interrupt);
BENCHMARK(BM_bare_recovery_interrupt);
BENCHMARK(BM_recovery_fault);
BENCHMARK(BM_bare_recovery_fault);
BENCHMARK(BM_sigprocmask);

/* Keeps every repetition (not the aggregates) for bench.py. */
class CollectingReporter : public benchmark::BenchmarkReporter {
public:
    struct Row {
        std::string name;
        double real_ns;
        double cpu_ns;
        int64_t iterations;
        int64_t repetition;
        std::string error;
    };
    std::vector<Row> rows;
    double cpu_mhz = 0;
    bool cpu_scaling = false;

    bool ReportContext(const Context &context) override
    {
        cpu_mhz = context.cpu_info.cycles_per_second / 1e6;
        cpu_scaling = context.cpu_info.scaling == benchmark::CPUInfo::ENABLED;
        return true;
    }

    void ReportRuns(const std::vector<Run> &report) override
    {
        for (const Run &r : report) {
            if (r.run_type != Run::RT_Iteration)
                continue;
            double scale = to_ns(r.time_unit);
            rows.push_back({r.run_name.function_name, r.GetAdjustedRealTime() * scale,
                            r.GetAdjustedCPUTime() * scale, static_cast<int64_t>(r.iterations),
                            r.repetition_index, r.error_occurred ? r.error_message : ""});
        }
    }

private:
    static double to_ns(benchmark::TimeUnit u)
    {
        switch (u) {
        case benchmark::kSecond: return 1e9;
        case benchmark::kMillisecond: return 1e6;
        case benchmark::kMicrosecond: return 1e3;
        default: return 1.0;
        }
    }
};

bool benchmark_initialised = false;

/* run_micro(flags: list[str]) -> (rows, context): runs the registered
 * benchmarks with Google Benchmark's own command-line flags; each row is
 * (name, real_ns_per_op, cpu_ns_per_op, iterations, repetition, error). */
PyObject *run_micro(PyObject *, PyObject *arg)
{
    if (!PyList_Check(arg)) {
        PyErr_SetString(PyExc_TypeError, "run_micro: a list of flags");
        return nullptr;
    }
    if (benchmark_initialised) {
        /* The library's flags are process-wide and parsed once. */
        PyErr_SetString(PyExc_RuntimeError, "run_micro: once per process");
        return nullptr;
    }
    std::vector<std::string> args{"tvbench"};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(arg); i++) {
        const char *flag = PyUnicode_AsUTF8(PyList_GET_ITEM(arg, i));
        if (flag == nullptr)
            return nullptr;
        args.emplace_back(flag);
    }
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int argc = static_cast<int>(args.size());
    benchmark::Initialize(&argc, argv.data());
    benchmark_initialised = true;
    if (argc > 1) {
        PyErr_Format(PyExc_ValueError, "run_micro: unknown flag %s", argv[1]);
        return nullptr;
    }

    CollectingReporter reporter;
    interrupted_during_benchmark = false;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    if (interrupted_during_benchmark || PyErr_Occurred()) {
        if (!PyErr_Occurred())
            PyErr_SetNone(PyExc_KeyboardInterrupt);
        return nullptr;
    }

    PyObject *rows = PyList_New(0);
    if (rows == nullptr)
        return nullptr;
    for (const CollectingReporter::Row &r : reporter.rows) {
        PyObject *t = Py_BuildValue("(sddLLs)", r.name.c_str(), r.real_ns / kBatch,
                                    r.cpu_ns / kBatch, static_cast<long long>(r.iterations),
                                    static_cast<long long>(r.repetition), r.error.c_str());
        if (t == nullptr || PyList_Append(rows, t) < 0) {
            Py_XDECREF(t);
            Py_DECREF(rows);
            return nullptr;
        }
        Py_DECREF(t);
    }
    return Py_BuildValue("(N{s:d,s:O,s:i})", rows, "cpu_mhz", reporter.cpu_mhz, "cpu_scaling",
                         reporter.cpu_scaling ? Py_True : Py_False, "batch", kBatch);
}

/* ------------------------------------------------------------------ */
/* Interrupt latency                                                  */
/* ------------------------------------------------------------------ */

int64_t now_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

/* One unit of the busy work every mode runs: a dependent chain of 64
 * multiply-adds (about a hundred nanoseconds) that the compiler must keep. */
inline uint64_t work_unit(uint64_t x)
{
    for (int i = 0; i < 64; i++) {
        x = x * 6364136223846793005ULL + 1442695040888963407ULL;
        asm volatile("" : "+r"(x));
    }
    return x;
}

volatile uint64_t work_sink;

/* A loop that never sees its signal gives up after this long. */
constexpr int64_t kGiveUpNs = 2000000000;

int64_t last_expiry_ns;

/* One timer per signal, aimed at the calling (main) thread: a process-wide
 * timer signal could land in any thread. */
struct Timer {
    int sig;
    bool created;
    timer_t id;
};
Timer interrupt_timer{SIGINT, false, {}};
Timer floor_timer{SIGUSR2, false, {}};

/* Arm `t` to expire `delay_ns` from now, at an absolute time recorded in
 * last_expiry_ns. -1 with OSError set on failure. */
int arm(Timer &t, int64_t delay_ns)
{
    if (!t.created) {
        struct sigevent sev;
        std::memset(&sev, 0, sizeof sev);
        sev.sigev_notify = SIGEV_THREAD_ID;
        sev.sigev_signo = t.sig;
        sev._sigev_un._tid = static_cast<pid_t>(syscall(SYS_gettid));
        if (timer_create(CLOCK_MONOTONIC, &sev, &t.id) != 0) {
            PyErr_SetFromErrno(PyExc_OSError);
            return -1;
        }
        t.created = true;
    }
    int64_t expiry = now_ns() + delay_ns;
    struct itimerspec its;
    std::memset(&its, 0, sizeof its);
    its.it_value.tv_sec = static_cast<time_t>(expiry / 1000000000);
    its.it_value.tv_nsec = static_cast<long>(expiry % 1000000000);
    if (timer_settime(t.id, TIMER_ABSTIME, &its, nullptr) != 0) {
        PyErr_SetFromErrno(PyExc_OSError);
        return -1;
    }
    last_expiry_ns = expiry;
    return 0;
}

void disarm(Timer &t)
{
    struct itimerspec its;
    std::memset(&its, 0, sizeof its);
    if (t.created)
        timer_settime(t.id, 0, &its, nullptr);
}

PyObject *gave_up(Timer &t)
{
    disarm(t);
    PyErr_SetString(PyExc_RuntimeError, "tvbench: the timer did not fire");
    return nullptr;
}

bool parse_delay(PyObject *arg, int64_t *delay)
{
    *delay = PyLong_AsLongLong(arg);
    if (*delay == -1 && PyErr_Occurred())
        return false;
    if (*delay <= 0) {
        PyErr_SetString(PyExc_ValueError, "tvbench: the delay must be positive");
        return false;
    }
    return true;
}

/* Waits inside a region: the timer's SIGINT jumps out of it. */
PyObject *wait_jump(PyObject *, PyObject *arg)
{
    int64_t delay;
    if (!parse_delay(arg, &delay) || arm(interrupt_timer, delay) < 0)
        return nullptr;
    int64_t give_up = last_expiry_ns + kGiveUpNs;
    if (!sig_on())
        return nullptr;
    uint64_t x = work_sink;
    for (uint32_t i = 1;; i++) {
        x = work_unit(x);
        if ((i & 1023) == 0 && now_ns() > give_up)
            break;
    }
    sig_off();
    work_sink = x;
    return gave_up(interrupt_timer);
}

/* Waits in a cooperative scope, calling talvex::check() every unit. */
PyObject *wait_cooperative(PyObject *, PyObject *arg)
{
    int64_t delay;
    if (!parse_delay(arg, &delay) || arm(interrupt_timer, delay) < 0)
        return nullptr;
    int64_t give_up = last_expiry_ns + kGiveUpNs;
    return talvex::guard([&]() -> PyObject * {
        talvex::cooperative scope;
        uint64_t x = work_sink;
        for (uint32_t i = 1;; i++) {
            talvex::check();
            x = work_unit(x);
            if ((i & 1023) == 0 && now_ns() > give_up)
                break;
        }
        work_sink = x;
        return gave_up(interrupt_timer);
    });
}

/* Waits outside any region, calling PyErr_CheckSignals() every `every`
 * units, as a client without talvex would. */
PyObject *wait_poll(PyObject *, PyObject *args)
{
    long long delay_arg, every;
    if (!PyArg_ParseTuple(args, "LL", &delay_arg, &every))
        return nullptr;
    if (delay_arg <= 0 || every <= 0) {
        PyErr_SetString(PyExc_ValueError, "tvbench: positive delay and period");
        return nullptr;
    }
    if (arm(interrupt_timer, delay_arg) < 0)
        return nullptr;
    int64_t give_up = last_expiry_ns + kGiveUpNs;
    uint64_t x = work_sink;
    long long countdown = every;
    for (uint32_t i = 1;; i++) {
        x = work_unit(x);
        if (--countdown == 0) {
            countdown = every;
            if (PyErr_CheckSignals() < 0) {
                work_sink = x;
                return nullptr;
            }
        }
        if ((i & 1023) == 0 && now_ns() > give_up)
            break;
    }
    work_sink = x;
    return gave_up(interrupt_timer);
}

/* The floor for every mode: a bare handler raises a flag, the loop sees it
 * at the next unit and returns with the same exception set. Everything
 * above this is what the mode adds to kernel delivery and Python's own
 * exception path. */
volatile sig_atomic_t floor_flag;

void floor_handler(int)
{
    floor_flag = 1;
}

bool floor_handler_installed = false;

PyObject *wait_floor(PyObject *, PyObject *arg)
{
    int64_t delay;
    if (!parse_delay(arg, &delay))
        return nullptr;
    if (!floor_handler_installed) {
        struct sigaction sa;
        std::memset(&sa, 0, sizeof sa);
        sa.sa_handler = floor_handler;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        if (sigaction(floor_timer.sig, &sa, nullptr) != 0) {
            PyErr_SetFromErrno(PyExc_OSError);
            return nullptr;
        }
        floor_handler_installed = true;
    }
    floor_flag = 0;
    if (arm(floor_timer, delay) < 0)
        return nullptr;
    int64_t give_up = last_expiry_ns + kGiveUpNs;
    uint64_t x = work_sink;
    for (uint32_t i = 1; !floor_flag; i++) {
        x = work_unit(x);
        if ((i & 1023) == 0 && now_ns() > give_up) {
            work_sink = x;
            return gave_up(floor_timer);
        }
    }
    work_sink = x;
    PyErr_SetNone(PyExc_KeyboardInterrupt);
    return nullptr;
}

PyObject *mask_list(const sigset_t &m)
{
    PyObject *list = PyList_New(0);
    for (int sig = 1; list != nullptr && sig < 65; sig++) {
        if (sigismember(&m, sig) != 1)
            continue;
        PyObject *n = PyLong_FromLong(sig);
        if (n == nullptr || PyList_Append(list, n) < 0) {
            Py_XDECREF(n);
            Py_CLEAR(list);
            break;
        }
        Py_DECREF(n);
    }
    return list;
}

/* recovery_masks() -> (at entry, at landing, after _sig_on_recover): the
 * thread's blocked signals around a recovery from SIGINT. The mask at the
 * landing is what the hop through the trampoline installed; a recovery's
 * own sigprocmask is needed only where the two later ones differ. */
PyObject *recovery_masks(PyObject *, PyObject *)
{
    sigset_t entry, landing, after;
    sigprocmask(SIG_SETMASK, nullptr, &entry);
    if (!one_recovery(SIGINT, &landing)) {
        PyErr_SetString(PyExc_RuntimeError, "tvbench: no jump");
        return nullptr;
    }
    sigprocmask(SIG_SETMASK, nullptr, &after);
    return Py_BuildValue("(NNN)", mask_list(entry), mask_list(landing), mask_list(after));
}

PyObject *last_expiry(PyObject *, PyObject *)
{
    return PyLong_FromLongLong(last_expiry_ns);
}

/* work_unit_ns(n) -> nanoseconds per unit over n units. */
PyObject *work_unit_ns(PyObject *, PyObject *arg)
{
    long long n = PyLong_AsLongLong(arg);
    if (n == -1 && PyErr_Occurred())
        return nullptr;
    if (n <= 0) {
        PyErr_SetString(PyExc_ValueError, "tvbench: n must be positive");
        return nullptr;
    }
    uint64_t x = work_sink;
    int64_t t0 = now_ns();
    for (long long i = 0; i < n; i++)
        x = work_unit(x);
    int64_t t1 = now_ns();
    work_sink = x;
    return PyFloat_FromDouble(static_cast<double>(t1 - t0) / static_cast<double>(n));
}

/* ------------------------------------------------------------------ */
/* A fault outside any region                                         */
/* ------------------------------------------------------------------ */

PyObject *segv(PyObject *, PyObject *)
{
    volatile int *volatile null_pointer = nullptr;
    *null_pointer = 1;
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"run_micro", run_micro, METH_O, "Run the micro-benchmarks with the given flags."},
    {"wait_jump", wait_jump, METH_O, "Arm the timer, wait for it inside a region."},
    {"wait_cooperative", wait_cooperative, METH_O,
     "Arm the timer, wait for it in a cooperative scope."},
    {"wait_poll", wait_poll, METH_VARARGS,
     "Arm the timer, wait for it polling PyErr_CheckSignals()."},
    {"wait_floor", wait_floor, METH_O, "Arm a timer for a bare handler, wait for its flag."},
    {"last_expiry", last_expiry, METH_NOARGS, "CLOCK_MONOTONIC ns of the last armed expiry."},
    {"recovery_masks", recovery_masks, METH_NOARGS,
     "Blocked signals at entry, at the landing and after a recovery from SIGINT."},
    {"work_unit_ns", work_unit_ns, METH_O, "Time one unit of the waiting loops' work."},
    {"segv", segv, METH_NOARGS, "Fault outside any region."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "tvbench", "talvex benchmark client.", -1, methods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_tvbench(void)
{
    if (talvex_import() < 0)
        return nullptr;
    return PyModule_Create(&module_def);
}
