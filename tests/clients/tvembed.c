/* A program that embeds Python, as a host application does: it runs the
 * Python code given as its last argument in the main interpreter, then
 * finalises it.
 *
 *     tvembed [--no-signals] [--own-sigint] CODE
 *
 * --no-signals initialises with Py_InitializeEx(0): the interpreter installs
 * no signal handlers and the host keeps its own dispositions (SIGINT's
 * default action among them). Without it, Py_Initialize(). --own-sigint
 * installs the host's own SIGINT handler first, which writes "host SIGINT"
 * on standard output. The exit status is 1 if the code raised or
 * finalisation failed, else 0.
 *
 * Built against python3.X-config --embed by the tests (conftest.py). */
#include <Python.h>

#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static void own_sigint(int sig)
{
    static const char text[] = "host SIGINT\n";
    (void)sig;
    if (write(1, text, sizeof(text) - 1) < 0)
        return;
}

int main(int argc, char **argv)
{
    int install_signals = 1;
    int next = 1;
    if (next < argc && strcmp(argv[next], "--no-signals") == 0) {
        install_signals = 0;
        next++;
    }
    if (next < argc && strcmp(argv[next], "--own-sigint") == 0) {
        struct sigaction sa;
        memset(&sa, 0, sizeof(sa));
        sa.sa_handler = own_sigint;
        sigaction(SIGINT, &sa, NULL);
        next++;
    }
    if (next != argc - 1) {
        fprintf(stderr, "usage: %s [--no-signals] [--own-sigint] CODE\n", argv[0]);
        return 2;
    }
    Py_InitializeEx(install_signals);
    int failed = PyRun_SimpleString(argv[next]) != 0;
    if (Py_FinalizeEx() < 0)
        failed = 1;
    return failed;
}
