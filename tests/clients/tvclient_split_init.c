/*
 * A client of two source files: this one initialises the module (and
 * imports talvex), tvclient_split_work.c opens the regions. Both files
 * include the header and share the module's one table of entry points.
 * Built twice: tvclient_split imports in its initialisation,
 * tvclient_lazy never calls talvex_import() and relies on the first region.
 */
#define PY_SSIZE_T_CLEAN
#include <talvex/state.h>

#ifndef TVSPLIT_NAME
#define TVSPLIT_NAME tvclient_split
#define TVSPLIT_IMPORT 1
#endif
#define TVSPLIT_CAT2(a, b) a##b
#define TVSPLIT_CAT(a, b) TVSPLIT_CAT2(a, b)
#define TVSPLIT_STR2(x) #x
#define TVSPLIT_STR(x) TVSPLIT_STR2(x)

PyObject *tvsplit_spin(PyObject *self, PyObject *args);
PyObject *tvsplit_fault(PyObject *self, PyObject *noargs);

static PyMethodDef methods[] = {
    {"spin", tvsplit_spin, METH_VARARGS,
     "spin(seconds, nogil=False, announce=False): spin in a region"},
    {"fault", tvsplit_fault, METH_NOARGS, "a null write in a region"},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, TVSPLIT_STR(TVSPLIT_NAME), NULL, -1, methods,
    NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC TVSPLIT_CAT(PyInit_, TVSPLIT_NAME)(void)
{
#if TVSPLIT_IMPORT
    if (talvex_import() < 0)
        return NULL;
#endif
    return PyModule_Create(&module_def);
}
