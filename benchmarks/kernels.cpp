/*
 * The poll rows' kernels: a 64 x 64 double matrix multiply in the i, k, j
 * loop order, bare and with a poll at one of two spots, written as a
 * careful user writes a kernel and compiled from the installed header.
 *
 * bench.py compiles this file once per optimisation level, with
 * -DTVK_LEVEL=O2 or O3 naming the table, and loops aligned to 64 bytes:
 * without that the same code runs at one speed or twice as slow as its
 * inner loop happens to fall in the binary, and code placement, not the
 * poll, would decide the rows.
 *
 * The matrices come in through __restrict pointers and the size is a
 * constant, so the compiler may assume they do not overlap and vectorise
 * the inner loop without run-time alias checks, as it does for a user who
 * states the same.
 */
#include <talvex/state.h>

#include "kernels.h"

#ifndef TVK_LEVEL
#error "compile with -DTVK_LEVEL=O2 or -DTVK_LEVEL=O3"
#endif
#define TVK_JOIN2(a, b) a##b
#define TVK_JOIN(a, b) TVK_JOIN2(a, b)
#define TVK_TABLE TVK_JOIN(tvbench_kernels_, TVK_LEVEL)

namespace {

constexpr int N = kKernelSize;
constexpr int kRowsPerCountdown = kCountdownMultiplyAdds / N;

/* One kernel: DECLARE runs once per call, ROW_POLL before each (i, k) row
 * update (every 64 multiply-adds), INNER_POLL before each multiply-add. */
#define TVK_KERNEL(name, DECLARE, ROW_POLL, INNER_POLL)                              \
    __attribute__((noinline)) int name(const double *__restrict a,                   \
                                       const double *__restrict b, double *__restrict c) \
    {                                                                                \
        DECLARE                                                                      \
        for (int i = 0; i < N; i++) {                                                \
            for (int k = 0; k < N; k++) {                                            \
                ROW_POLL                                                             \
                const double aik = a[i * N + k];                                     \
                for (int j = 0; j < N; j++) {                                        \
                    INNER_POLL                                                       \
                    c[i * N + j] += aik * b[k * N + j];                              \
                }                                                                    \
            }                                                                        \
        }                                                                            \
        return 1;                                                                    \
    }

#define TVK_NOTHING
#define TVK_SIG_CHECK if (!sig_check()) return 0;
#define TVK_CHECK talvex::check();
#define TVK_VOLATILE if (tvbench_kernel_flag) return 0;
#define TVK_COUNTDOWN(every)                       \
    if (--countdown == 0) {                        \
        countdown = (every);                       \
        if (PyErr_CheckSignals() < 0)              \
            return 0;                              \
    }

TVK_KERNEL(bare, TVK_NOTHING, TVK_NOTHING, TVK_NOTHING)

TVK_KERNEL(row_sig_check, TVK_NOTHING, TVK_SIG_CHECK, TVK_NOTHING)
TVK_KERNEL(row_check, TVK_NOTHING, TVK_CHECK, TVK_NOTHING)
TVK_KERNEL(row_countdown, int countdown = kRowsPerCountdown;,
           TVK_COUNTDOWN(kRowsPerCountdown), TVK_NOTHING)
TVK_KERNEL(row_volatile, TVK_NOTHING, TVK_VOLATILE, TVK_NOTHING)

TVK_KERNEL(inner_sig_check, TVK_NOTHING, TVK_NOTHING, TVK_SIG_CHECK)
TVK_KERNEL(inner_check, TVK_NOTHING, TVK_NOTHING, TVK_CHECK)
TVK_KERNEL(inner_countdown, int countdown = kCountdownMultiplyAdds;, TVK_NOTHING,
           TVK_COUNTDOWN(kCountdownMultiplyAdds))
TVK_KERNEL(inner_volatile, TVK_NOTHING, TVK_NOTHING, TVK_VOLATILE)

}  // namespace

extern "C" const KernelVariant TVK_TABLE[] = {
    {"none", "bare", bare, false},
    {"row", "sig_check", row_sig_check, false},
    {"row", "check", row_check, true},
    {"row", "PyErr_CheckSignals", row_countdown, false},
    {"row", "volatile", row_volatile, false},
    {"inner", "sig_check", inner_sig_check, false},
    {"inner", "check", inner_check, true},
    {"inner", "PyErr_CheckSignals", inner_countdown, false},
    {"inner", "volatile", inner_volatile, false},
    {nullptr, nullptr, nullptr, false},
};
