/*
 * tvbench: the native half of `make bench`.
 *
 * A talvex client like any user's module: compiled on its own against the
 * installed <talvex/state.h> and nothing else of talvex. It carries
 *   - Google Benchmark micro-benchmarks of the region macros and checks,
 *     each beside the comparison it is judged against, all in this one
 *     binary so that compiler, flags and code placement are shared, and
 *     the same for the kernels of kernels.cpp (polls inside real work);
 *   - interrupt-latency loops that arm a POSIX timer for a known expiry and
 *     then wait for it in one of four ways;
 *   - a pool of native threads running chunks of work in regions or not;
 *   - a fault outside any region, for the crash-to-exit timing, and a bare
 *     handler that runs py-spy on the process, the report's stand-in.
 * bench.py drives it and does the statistics.
 */
#define PY_SSIZE_T_CLEAN
#include <talvex/state.h>
#include <frameobject.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <pthread.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "kernels.h"

/* A record per thread, so that regions in several threads may run at
 * once: the headers of runtime ABI 2 and later. With an older header (a
 * comparison against an earlier build) the rows of parallel regions are
 * left out, and the recovery rows mark the region's thread as it wants. */
#if defined(TALVEX_RUNTIME_ABI) && TALVEX_RUNTIME_ABI >= 2
#define TVBENCH_THREAD_RECORDS 1
#else
#define TVBENCH_THREAD_RECORDS 0
#endif

/* The kernels' plain flag: nothing sets it, but the compiler cannot know. */
volatile int tvbench_kernel_flag = 0;

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

/* A sequentially consistent store spelt as a plain store followed by a
 * full fence (mfence on x86-64), where tv_store() is one xchg: the floors
 * are measured with both. */
inline void fenced_store(int *field, int value)
{
    __atomic_store_n(field, value, __ATOMIC_RELAXED);
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
}

void BM_floor_fence(benchmark::State &s)
{
    for (auto _ : s) {
        TVB_BATCH(
            if (TV_UNLIKELY(sigsetjmp(floor_record.resume_point, 0) != 0)) {
                s.SkipWithError("floor: unexpected jump");
                break;
            }
            fenced_store(&floor_record.count, 1);
            fenced_store(&floor_record.count, 0);)
    }
}

/* The floor of a nested entry: inside an open region, what a nested pair
 * must do at the least: read the count (to know that a region is open),
 * one sequentially consistent store of the count up on entry and one back
 * down on exit. */
template <void (*store)(int *, int)>
void nested_floor(benchmark::State &s)
{
    tv_store(&floor_record.count, 1);
    for (auto _ : s) {
        TVB_BATCH({
            int count = tv_load(&floor_record.count);
            store(&floor_record.count, count + 1);
            store(&floor_record.count, count);
        })
    }
    tv_store(&floor_record.count, 0);
}

void tv_store_(int *field, int value)
{
    tv_store(field, value);
}

void BM_nested_floor(benchmark::State &s)
{
    nested_floor<tv_store_>(s);
}

void BM_nested_floor_fence(benchmark::State &s)
{
    nested_floor<fenced_store>(s);
}

/* A sig_on()/sig_off() pair inside an open region of the same thread. */
void BM_nested_sig_on_off(benchmark::State &s)
{
    if (!sig_on()) {
        interrupted_during_benchmark = true;
        s.SkipWithError("interrupted");
        return;
    }
    for (auto _ : s) {
        TVB_BATCH(
            if (TV_UNLIKELY(!sig_on())) {
                interrupted_during_benchmark = true;
                s.SkipWithError("interrupted");
                break;
            }
            sig_off();)
    }
    sig_off();
}

BENCHMARK(BM_empty_call);
BENCHMARK(BM_floor);
BENCHMARK(BM_sig_on_off);
BENCHMARK(BM_floor_fence);
BENCHMARK(BM_nested_floor);
BENCHMARK(BM_nested_floor_fence);
BENCHMARK(BM_nested_sig_on_off);
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
    tvstate_t *st = talvex_api.state;   /* the main thread's record */
    st->message = nullptr;
    if (sigsetjmp(st->resume_point, 0) == 0) {
#if !TVBENCH_THREAD_RECORDS
        /* Headers with one record for the process mark the region's thread. */
        tv_set_region_owner(st->resume_point);
#endif
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

void bare_jump_info(int sig, siginfo_t *, void *)
{
    siglongjmp(bare_buf, sig);
}

/* Installs bare_jump for `sig` for the benchmark's run, then puts back
 * what was there (talvex's handler, for SIGSEGV). `blocking`: the handler
 * keeps SIGHUP, SIGINT and SIGALRM blocked until the recovery's
 * sigprocmask unblocks them, as talvex's handlers do (so that no interrupt
 * jumps while a region is being recovered), and takes a siginfo as they
 * do: the least such a recovery costs. */
void bare_recovery(benchmark::State &s, int sig, bool blocking = false)
{
    struct sigaction sa, previous;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = bare_jump;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_NODEFER | SA_ONSTACK;
    if (blocking) {
        sa.sa_sigaction = bare_jump_info;
        sa.sa_flags |= SA_SIGINFO;
        sigaddset(&sa.sa_mask, SIGHUP);
        sigaddset(&sa.sa_mask, SIGINT);
        sigaddset(&sa.sa_mask, SIGALRM);
    }
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

void BM_blocking_recovery_interrupt(benchmark::State &s)
{
    bare_recovery(s, SIGVTALRM, true);
}

void BM_blocking_recovery_fault(benchmark::State &s)
{
    bare_recovery(s, SIGSEGV, true);
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

/* A fault in a region, all the way to its Python exception (talvex's
 * SignalError), against a hand-rolled handler that does the same with
 * nothing of talvex: a resume point without the mask, a handler that jumps
 * there, one sigprocmask that puts the mask back, the same exception
 * class set with the same text. Each exception is cleared again. */
PyObject *signal_error_class;

__attribute__((noinline)) bool one_fault_in_region()
{
    if (!sig_on())
        return PyErr_Occurred() != nullptr;
    *static_cast<volatile int *>(nullptr) = 1;
    sig_off();
    return false;
}

void BM_fault_exception_talvex(benchmark::State &s)
{
    for (auto _ : s) {
        TVB_BATCH(
            if (TV_UNLIKELY(!one_fault_in_region())) {
                s.SkipWithError("no exception");
                break;
            }
            PyErr_Clear();)
    }
}

sigjmp_buf hand_buf;
sigset_t hand_mask;

void hand_rolled_handler(int sig, siginfo_t *, void *)
{
    siglongjmp(hand_buf, sig);
}

__attribute__((noinline)) bool one_hand_rolled_fault()
{
    if (sigsetjmp(hand_buf, 0) == 0) {
        *static_cast<volatile int *>(nullptr) = 1;
        return false;
    }
    sigprocmask(SIG_SETMASK, &hand_mask, nullptr);
    PyErr_SetString(signal_error_class, "Segmentation fault");
    return true;
}

void BM_fault_exception_hand_rolled(benchmark::State &s)
{
    struct sigaction sa, previous;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_sigaction = hand_rolled_handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
    sigprocmask(SIG_SETMASK, nullptr, &hand_mask);
    sigaction(SIGSEGV, &sa, &previous);
    for (auto _ : s) {
        TVB_BATCH(
            if (TV_UNLIKELY(!one_hand_rolled_fault())) {
                s.SkipWithError("no jump");
                break;
            }
            PyErr_Clear();)
    }
    sigaction(SIGSEGV, &previous, nullptr);
}

/* What python_check_interrupt must add to CPython's path: the traceback
 * entry "talvex.signals.python_check_interrupt" that every error leaving it
 * carries. The same exception set and cleared, with and without one entry
 * (PyTraceBack_Here on a frame made once, and its release). */
PyFrameObject *entry_frame;

void BM_exception_alone(benchmark::State &s)
{
    for (auto _ : s) {
        TVB_BATCH(PyErr_SetNone(PyExc_KeyboardInterrupt); PyErr_Clear();)
    }
}

void BM_exception_with_entry(benchmark::State &s)
{
    for (auto _ : s) {
        TVB_BATCH(PyErr_SetNone(PyExc_KeyboardInterrupt); PyTraceBack_Here(entry_frame);
                  PyErr_Clear();)
    }
}

BENCHMARK(BM_exception_alone);
BENCHMARK(BM_exception_with_entry);
BENCHMARK(BM_fault_exception_talvex);
BENCHMARK(BM_fault_exception_hand_rolled);
BENCHMARK(BM_interrupt_outside_talvex);
BENCHMARK(BM_interrupt_outside_cpython);
BENCHMARK(BM_recovery_interrupt);
BENCHMARK(BM_bare_recovery_interrupt);
BENCHMARK(BM_recovery_fault);
BENCHMARK(BM_bare_recovery_fault);
BENCHMARK(BM_blocking_recovery_interrupt);
BENCHMARK(BM_blocking_recovery_fault);
BENCHMARK(BM_sigprocmask);

/* ------------------------------------------------------------------ */
/* Polls inside a kernel                                              */
/* ------------------------------------------------------------------ */

/* kernels.cpp, compiled once per optimisation level, holds the kernels;
 * here they become one benchmark each, interleaved with all the others. */
constexpr int kKernelElements = kKernelSize * kKernelSize;
alignas(64) double kernel_a[kKernelElements];
alignas(64) double kernel_b[kKernelElements];
alignas(64) double kernel_c[kKernelElements];

void BM_kernel(benchmark::State &s, const KernelVariant *v)
{
    auto run = [&] {
        for (auto _ : s) {
            TVB_BATCH(
                if (TV_UNLIKELY(!v->fn(kernel_a, kernel_b, kernel_c))) {
                    interrupted_during_benchmark = true;
                    s.SkipWithError("interrupted");
                    break;
                })
        }
    };
    if (v->cooperative) {
        talvex::cooperative scope;
        try {
            run();
        } catch (const talvex::interrupted &e) {
            talvex::set_python_error(e);
            interrupted_during_benchmark = true;
            s.SkipWithError("interrupted");
        }
    } else {
        run();
    }
    benchmark::DoNotOptimize(kernel_c[0]);
}

/* BM_kernel_<level>_bare and BM_kernel_<level>_<spot>_<poll>. */
void register_kernels()
{
    for (int i = 0; i < kKernelElements; i++) {
        kernel_a[i] = (i % 7) * 0.25;
        kernel_b[i] = (i % 5) * 0.5;
        kernel_c[i] = 0.0;
    }
    const struct {
        const char *level;
        const KernelVariant *table;
    } levels[] = {{"O2", tvbench_kernels_O2}, {"O3", tvbench_kernels_O3}};
    for (const auto &level : levels) {
        for (const KernelVariant *v = level.table; v->fn != nullptr; v++) {
            std::string name = std::string("BM_kernel_") + level.level + "_";
            if (std::strcmp(v->spot, "none") != 0)
                name += std::string(v->spot) + "_";
            name += v->poll;
            benchmark::RegisterBenchmark(name.c_str(), BM_kernel, v);
        }
    }
}

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
    register_kernels();
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
Timer alarm_timer{SIGALRM, false, {}};
Timer floor_timer{SIGUSR2, false, {}};

/* The timer of the signal a latency loop waits for: SIGINT or SIGALRM. */
Timer *timer_for(int sig)
{
    if (sig == SIGINT)
        return &interrupt_timer;
    if (sig == SIGALRM)
        return &alarm_timer;
    PyErr_SetString(PyExc_ValueError, "tvbench: SIGINT or SIGALRM");
    return nullptr;
}

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

/* (delay, signal): the delay in nanoseconds and the timer's signal. Arms
 * that timer; returns it, with the time at which the wait gives up. */
Timer *start_wait(PyObject *args, int64_t *give_up)
{
    PyObject *arg;
    int sig;
    int64_t delay;
    if (!PyArg_ParseTuple(args, "Oi", &arg, &sig) || !parse_delay(arg, &delay))
        return nullptr;
    Timer *timer = timer_for(sig);
    if (timer == nullptr || arm(*timer, delay) < 0)
        return nullptr;
    *give_up = last_expiry_ns + kGiveUpNs;
    return timer;
}

/* Waits inside a region: the timer's signal jumps out of it. */
PyObject *wait_jump(PyObject *, PyObject *args)
{
    int64_t give_up;
    Timer *timer = start_wait(args, &give_up);
    if (timer == nullptr)
        return nullptr;
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
    return gave_up(*timer);
}

/* Waits in a cooperative scope, calling talvex::check() every unit. */
PyObject *wait_cooperative(PyObject *, PyObject *args)
{
    int64_t give_up;
    Timer *timer = start_wait(args, &give_up);
    if (timer == nullptr)
        return nullptr;
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
        return gave_up(*timer);
    });
}

/* The same as wait_cooperative with everything of check() but its C++
 * throw: the claim, taken from the runtime as check() takes it, and the
 * exception set at once. What the cooperative mode costs beyond this is
 * the throw and its catch, measured in the same conditions. */
PyObject *wait_cooperative_nothrow(PyObject *, PyObject *args)
{
    int64_t give_up;
    Timer *timer = start_wait(args, &give_up);
    if (timer == nullptr)
        return nullptr;
    talvex::cooperative scope;
    const talvex_runtime_t *rt = talvex::runtime_();
    tv_register_attention_(rt);
    uint64_t x = work_sink;
    for (uint32_t i = 1;; i++) {
        if (TV_UNLIKELY(*(const volatile int *)&talvex_attention != 0)) {
            int sig = rt->claim_interrupt();
            if (sig != 0) {
                work_sink = x;
                talvex_api.do_raise_exception(sig);
                return nullptr;
            }
        }
        x = work_unit(x);
        if ((i & 1023) == 0 && now_ns() > give_up)
            break;
    }
    work_sink = x;
    return gave_up(*timer);
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
 * at the next unit and returns with the exception the mode's signal
 * becomes (the class is the second argument). Everything above this is
 * what the mode adds to kernel delivery and Python's own exception path. */
volatile sig_atomic_t floor_flag;

void floor_handler(int)
{
    floor_flag = 1;
}

bool floor_handler_installed = false;

PyObject *wait_floor(PyObject *, PyObject *args)
{
    PyObject *arg, *exception;
    int64_t delay;
    if (!PyArg_ParseTuple(args, "OO", &arg, &exception) || !parse_delay(arg, &delay))
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
    PyErr_SetNone(exception);
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

/* Nanoseconds per item of run(x, n), for the n items `arg` asks for. */
template <class Run>
PyObject *time_per_item(PyObject *arg, Run run)
{
    long long n = PyLong_AsLongLong(arg);
    if (n == -1 && PyErr_Occurred())
        return nullptr;
    if (n <= 0) {
        PyErr_SetString(PyExc_ValueError, "tvbench: the count must be positive");
        return nullptr;
    }
    uint64_t x = work_sink;
    int64_t t0 = now_ns();
    run(x, n);
    int64_t t1 = now_ns();
    work_sink = x;
    return PyFloat_FromDouble(static_cast<double>(t1 - t0) / static_cast<double>(n));
}

/* work_unit_ns(n) -> nanoseconds per unit over n units. */
PyObject *work_unit_ns(PyObject *, PyObject *arg)
{
    return time_per_item(arg, [](uint64_t &x, long long n) {
        for (long long i = 0; i < n; i++)
            x = work_unit(x);
    });
}

/* ------------------------------------------------------------------ */
/* Regions in parallel threads                                        */
/* ------------------------------------------------------------------ */

/* Work units per region: a few microseconds of work, about what one row
 * block of a real kernel takes, so that a region per chunk is a fine
 * grain and what regions in several threads cost one another shows. */
constexpr int kChunkUnits = 64;

/* One chunk, in a region or not: a call each, so that the two differ by
 * the region alone. The value goes through memory, as nothing a region
 * changes may live only in a register of its frame. */
__attribute__((noinline)) bool bare_chunk(uint64_t *value)
{
    uint64_t x = *value;
    for (int u = 0; u < kChunkUnits; u++)
        x = work_unit(x);
    *value = x;
    return true;
}

__attribute__((noinline)) bool region_chunk(uint64_t *value)
{
    if (!sig_on())
        return false;
    bare_chunk(value);
    sig_off();
    return true;
}

template <bool kRegions>
bool chunk_loop(int chunks, uint64_t *value)
{
    for (int c = 0; c < chunks; c++) {
        if (!(kRegions ? region_chunk(value) : bare_chunk(value)))
            return false;
    }
    return true;
}

int64_t thread_cpu_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

/* Worker threads of a pool, kept for all the runs of one call, as a
 * program's pool keeps its threads: each run, every worker does the same
 * chunks, in regions or not. Native threads, without the interpreter lock. */
struct Pool {
    int chunks;
    bool regions;
    bool quit;
    pthread_barrier_t start, done;
    struct Slot {
        int64_t began, ended, cpu;
        uint64_t value;
        bool ok;
    } slot[64];
};

struct Worker {
    Pool *pool;
    int index;
};

void *pool_worker(void *arg)
{
    Worker *w = static_cast<Worker *>(arg);
    Pool &p = *w->pool;
    Pool::Slot &slot = p.slot[w->index];
    slot.value = static_cast<uint64_t>(w->index) + 1;
    for (;;) {
        pthread_barrier_wait(&p.start);
        if (p.quit)
            break;
        int64_t cpu = thread_cpu_ns();
        slot.began = now_ns();
        slot.ok = p.regions ? chunk_loop<true>(p.chunks, &slot.value)
                            : chunk_loop<false>(p.chunks, &slot.value);
        slot.ended = now_ns();
        slot.cpu = thread_cpu_ns() - cpu;
        pthread_barrier_wait(&p.done);
    }
    return nullptr;
}

/* parallel(threads, chunks, trials) -> list of (regions: bool, wall_ns,
 * cpu_ns): each trial one run with a region per chunk and one without,
 * in alternating order; wall from the first worker's start to the last
 * one's end, cpu the workers' total. Runs without the interpreter lock. */
PyObject *parallel(PyObject *, PyObject *args)
{
    int threads, chunks, trials;
    if (!PyArg_ParseTuple(args, "iii", &threads, &chunks, &trials))
        return nullptr;
    if (threads < 1 || threads > 64 || chunks < 1 || trials < 1) {
        PyErr_SetString(PyExc_ValueError, "parallel: 1-64 threads, chunks and trials >= 1");
        return nullptr;
    }
    if (!TVBENCH_THREAD_RECORDS && threads > 1) {
        PyErr_SetString(PyExc_ValueError,
                        "parallel: this talvex has one region record for the process");
        return nullptr;
    }
    struct Run {
        bool regions;
        int64_t wall, cpu;
    };
    std::vector<Run> runs;
    /* On the heap: if a thread cannot be made, those made wait on its
     * barrier for good, and it must outlive this call. */
    Pool *pool = new Pool{};
    Worker *workers = new Worker[threads];
    std::vector<pthread_t> ids(threads);
    pool->chunks = chunks;
    bool interrupted = false;
    int created = 0;
    Py_BEGIN_ALLOW_THREADS
    pthread_barrier_init(&pool->start, nullptr, threads + 1);
    pthread_barrier_init(&pool->done, nullptr, threads + 1);
    for (; created < threads; created++) {
        workers[created] = {pool, created};
        if (pthread_create(&ids[created], nullptr, pool_worker, &workers[created]) != 0)
            break;
    }
    if (created == threads) {
        for (int t = 0; t < trials && !interrupted; t++) {
            for (int half = 0; half < 2 && !interrupted; half++) {
                pool->regions = (t + half) % 2 == 0;
                pthread_barrier_wait(&pool->start);
                pthread_barrier_wait(&pool->done);
                Run r{pool->regions, 0, 0};
                int64_t first = INT64_MAX, last = 0;
                for (int i = 0; i < threads; i++) {
                    const Pool::Slot &slot = pool->slot[i];
                    interrupted = interrupted || !slot.ok;
                    first = std::min(first, slot.began);
                    last = std::max(last, slot.ended);
                    r.cpu += slot.cpu;
                    work_sink = slot.value;
                }
                r.wall = last - first;
                runs.push_back(r);
            }
        }
        pool->quit = true;
        pthread_barrier_wait(&pool->start);
        for (int i = 0; i < threads; i++)
            pthread_join(ids[i], nullptr);
        pthread_barrier_destroy(&pool->start);
        pthread_barrier_destroy(&pool->done);
    }
    Py_END_ALLOW_THREADS
    if (created != threads) {
        PyErr_SetString(PyExc_OSError, "parallel: pthread_create failed");
        return nullptr;
    }
    delete[] workers;
    delete pool;
    if (interrupted || PyErr_CheckSignals() < 0) {
        if (!PyErr_Occurred())
            PyErr_SetNone(PyExc_KeyboardInterrupt);
        return nullptr;
    }
    PyObject *list = PyList_New(0);
    for (const Run &r : runs) {
        PyObject *t = list ? Py_BuildValue("(OLL)", r.regions ? Py_True : Py_False,
                                           static_cast<long long>(r.wall),
                                           static_cast<long long>(r.cpu))
                           : nullptr;
        if (t == nullptr || PyList_Append(list, t) < 0) {
            Py_XDECREF(t);
            Py_XDECREF(list);
            return nullptr;
        }
        Py_DECREF(t);
    }
    return list;
}

/* chunk_ns(chunks) -> nanoseconds of one chunk's work in this thread. */
PyObject *chunk_ns(PyObject *, PyObject *arg)
{
    return time_per_item(arg, [](uint64_t &x, long long n) {
        chunk_loop<false>(static_cast<int>(n), &x);
    });
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

/* The crash report's stand-in: what a bare handler costs that runs
 * `py-spy dump --native` on its own process, waits for it and dies by the
 * signal, as talvex's handler does with its inspector. */
char standin_program[4096];
char standin_pid[24];

void standin_handler(int sig)
{
    prctl(PR_SET_PTRACER, getpid(), 0, 0, 0);
    long child = syscall(SYS_clone, SIGCHLD, nullptr, nullptr, nullptr, 0UL);
    if (child == 0) {
        dup2(2, 1);
        char *const argv[] = {const_cast<char *>("py-spy"), const_cast<char *>("dump"),
                              const_cast<char *>("--native"), const_cast<char *>("--pid"),
                              standin_pid, nullptr};
        execve(standin_program, argv, environ);
        _exit(127);
    }
    if (child > 0) {
        while (waitpid(static_cast<pid_t>(child), nullptr, 0) == -1 && errno == EINTR)
            continue;
    }
    signal(sig, SIG_DFL);
    raise(sig);
    _exit(128 + sig);
}

/* install_pyspy_standin(py_spy_path): SIGSEGV runs standin_handler. */
PyObject *install_pyspy_standin(PyObject *, PyObject *arg)
{
    const char *path = PyUnicode_AsUTF8(arg);
    if (path == nullptr)
        return nullptr;
    if (std::strlen(path) >= sizeof standin_program) {
        PyErr_SetString(PyExc_ValueError, "install_pyspy_standin: path too long");
        return nullptr;
    }
    std::strcpy(standin_program, path);
    std::snprintf(standin_pid, sizeof standin_pid, "%d", static_cast<int>(getpid()));
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = standin_handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_NODEFER;
    if (sigaction(SIGSEGV, &sa, nullptr) != 0)
        return PyErr_SetFromErrno(PyExc_OSError);
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"run_micro", run_micro, METH_O, "Run the micro-benchmarks with the given flags."},
    {"wait_jump", wait_jump, METH_VARARGS, "Arm the timer, wait for it inside a region."},
    {"wait_cooperative", wait_cooperative, METH_VARARGS,
     "Arm the timer, wait for it in a cooperative scope."},
    {"wait_cooperative_nothrow", wait_cooperative_nothrow, METH_VARARGS,
     "The same as wait_cooperative with the exception set instead of thrown."},
    {"wait_poll", wait_poll, METH_VARARGS,
     "Arm the timer, wait for it polling PyErr_CheckSignals()."},
    {"wait_floor", wait_floor, METH_VARARGS, "Arm a timer for a bare handler, wait for its flag."},
    {"last_expiry", last_expiry, METH_NOARGS, "CLOCK_MONOTONIC ns of the last armed expiry."},
    {"recovery_masks", recovery_masks, METH_NOARGS,
     "Blocked signals at entry, at the landing and after a recovery from SIGINT."},
    {"work_unit_ns", work_unit_ns, METH_O, "Time one unit of the waiting loops' work."},
    {"segv", segv, METH_NOARGS, "Fault outside any region."},
    {"parallel", parallel, METH_VARARGS,
     "Time chunks of work in a pool of threads, with and without a region each."},
    {"chunk_ns", chunk_ns, METH_O, "Time one chunk of the parallel rows' work."},
    {"install_pyspy_standin", install_pyspy_standin, METH_O,
     "Make SIGSEGV run py-spy dump --native on this process from a bare handler."},
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
    PyObject *signals = PyImport_ImportModule("talvex.signals");
    signal_error_class = signals ? PyObject_GetAttrString(signals, "SignalError") : nullptr;
    Py_XDECREF(signals);
    if (signal_error_class == nullptr)
        return nullptr;
    PyCodeObject *code = PyCode_NewEmpty("tvbench.cpp", "python_check_interrupt", 1);
    PyObject *globals = code ? PyDict_New() : nullptr;
    entry_frame = globals ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    Py_XDECREF(globals);
    Py_XDECREF(code);
    if (entry_frame == nullptr)
        return nullptr;
    PyObject *m = PyModule_Create(&module_def);
    if (m != nullptr &&
        (PyModule_AddIntConstant(m, "THREAD_RECORDS", TVBENCH_THREAD_RECORDS) < 0 ||
         PyModule_AddIntConstant(m, "CHUNK_UNITS", kChunkUnits) < 0 ||
         PyModule_AddIntConstant(m, "KERNEL_SIZE", kKernelSize) < 0 ||
         PyModule_AddIntConstant(m, "COUNTDOWN_MULTIPLY_ADDS", kCountdownMultiplyAdds) < 0)) {
        Py_DECREF(m);
        return nullptr;
    }
    return m;
}
