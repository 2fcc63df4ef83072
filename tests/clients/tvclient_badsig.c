/* A client compiled against another signature of one entry point: its
 * import must be refused with an ImportError naming that entry. */
#include <talvex/state.h>

static struct PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "tvclient_badsig", NULL, -1, NULL, NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC PyInit_tvclient_badsig(void)
{
    PyObject *module = PyImport_ImportModule("talvex.signals");
    PyObject *capi = module ? PyObject_GetAttrString(module, "__pyx_capi__") : NULL;
    void *entry;
    Py_XDECREF(module);
    if (capi == NULL)
        return NULL;
    entry = talvex_capi_get_(capi, "_sig_on_recover", "void (int)");
    Py_DECREF(capi);
    if (entry == NULL)
        return NULL;
    return PyModule_Create(&module_def);
}
