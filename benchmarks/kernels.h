/*
 * The kernels of `make bench`'s poll rows, shared by tvbench.cpp and
 * kernels.cpp (which is compiled once per optimisation level).
 */
#ifndef TVBENCH_KERNELS_H
#define TVBENCH_KERNELS_H

/* The matrices are kKernelSize x kKernelSize doubles, row-major. */
constexpr int kKernelSize = 64;

/* Multiply-adds between two calls of PyErr_CheckSignals() in the kernels
 * that count down to it: 16 row updates. */
constexpr int kCountdownMultiplyAdds = 1024;

/* c += a * b. 1 when done, 0 when a poll found an interrupt (sig_check()
 * and PyErr_CheckSignals() set the exception; talvex::check() throws). */
typedef int (*kernel_fn)(const double *__restrict a, const double *__restrict b,
                         double *__restrict c);

struct KernelVariant {
    const char *spot;   /* "none", "row" (once per (i, k) row update) or "inner" */
    const char *poll;   /* "bare", "sig_check", "check", "PyErr_CheckSignals", "volatile" */
    kernel_fn fn;
    bool cooperative;   /* talvex::check() needs an open talvex::cooperative scope */
};

/* The floor of any poll: a plain flag that a signal handler would set.
 * Hidden, like the header's own word, so that both are read the same way
 * (PC-relative, not through the global offset table). */
extern "C" __attribute__((visibility("hidden"))) volatile int tvbench_kernel_flag;

/* One table per level, ending with a null fn. */
extern "C" __attribute__((visibility("hidden"))) const KernelVariant tvbench_kernels_O2[];
extern "C" __attribute__((visibility("hidden"))) const KernelVariant tvbench_kernels_O3[];

#endif
