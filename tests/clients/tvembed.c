/* A program that embeds Python, as a host application does: it runs the
 * Python code given as its arguments in the main interpreter, then
 * finalises it.
 *
 *     tvembed [--no-signals] [--own-sigint] [--replace-sigint | --default-sigint]
 *             [--threads N THREAD_CODE] CODE [CODE2]
 *
 * --no-signals initialises with Py_InitializeEx(0): the interpreter installs
 * no signal handlers and the host keeps its own dispositions (SIGINT's
 * default action among them). Without it, Py_Initialize(). --own-sigint
 * installs the host's own SIGINT handler first, which writes "host SIGINT"
 * on standard output. After CODE: --replace-sigint replaces whatever SIGINT
 * handler is in place, from C, by a second one of the host's, which writes
 * "host SIGINT 2"; --threads starts N threads of the host's own, each of
 * which runs THREAD_CODE in the interpreter (PyGILState_Ensure). Then the
 * main thread runs CODE2, if given, and waits for the threads without the
 * interpreter lock. The exit status is 1 if any code raised or finalisation
 * failed, else 0.
 *
 * Built against python3.X-config --embed by the tests (conftest.py). */
#include <Python.h>

#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static void say(const char *text)
{
    if (write(1, text, strlen(text)) < 0)
        return;
}

static void own_sigint(int sig)
{
    (void)sig;
    say("host SIGINT\n");
}

static void second_sigint(int sig)
{
    (void)sig;
    say("host SIGINT 2\n");
}

static void install(void (*handler)(int))
{
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = handler;
    sigaction(SIGINT, &sa, NULL);
}

static const char *thread_code;
static int thread_failures;

static void *host_thread(void *unused)
{
    (void)unused;
    PyGILState_STATE gil = PyGILState_Ensure();
    if (PyRun_SimpleString(thread_code) != 0)
        thread_failures++;  /* under the interpreter lock */
    PyGILState_Release(gil);
    return NULL;
}

int main(int argc, char **argv)
{
    int install_signals = 1, replace = 0, threads = 0;
    int next = 1;
    if (next < argc && strcmp(argv[next], "--no-signals") == 0) {
        install_signals = 0;
        next++;
    }
    if (next < argc && strcmp(argv[next], "--own-sigint") == 0) {
        install(own_sigint);
        next++;
    }
    if (next < argc && strcmp(argv[next], "--replace-sigint") == 0) {
        replace = 1;
        next++;
    } else if (next < argc && strcmp(argv[next], "--default-sigint") == 0) {
        replace = 2;
        next++;
    }
    if (next + 2 < argc && strcmp(argv[next], "--threads") == 0) {
        threads = atoi(argv[next + 1]);
        thread_code = argv[next + 2];
        next += 3;
    }
    if (next != argc - 1 && next != argc - 2) {
        fprintf(stderr, "usage: %s [--no-signals] [--own-sigint] "
                        "[--replace-sigint | --default-sigint] "
                        "[--threads N THREAD_CODE] CODE [CODE2]\n", argv[0]);
        return 2;
    }
    if (threads < 0 || threads > 16) {
        fprintf(stderr, "%s: 0 to 16 threads\n", argv[0]);
        return 2;
    }
    Py_InitializeEx(install_signals);
    int failed = PyRun_SimpleString(argv[next]) != 0;
    if (replace)
        install(replace == 1 ? second_sigint : SIG_DFL);
    pthread_t started[16];
    PyThreadState *saved = PyEval_SaveThread();
    for (int i = 0; i < threads; i++) {
        if (pthread_create(&started[i], NULL, host_thread, NULL) != 0) {
            perror("tvembed: pthread_create");
            return 2;
        }
    }
    PyEval_RestoreThread(saved);
    if (next + 1 < argc && PyRun_SimpleString(argv[next + 1]) != 0)
        failed = 1;
    saved = PyEval_SaveThread();
    for (int i = 0; i < threads; i++)
        pthread_join(started[i], NULL);
    PyEval_RestoreThread(saved);
    if (thread_failures != 0)
        failed = 1;
    if (Py_FinalizeEx() < 0)
        failed = 1;
    return failed;
}
