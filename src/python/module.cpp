#include <Python.h>

static PyModuleDef vexlor_module = {PyModuleDef_HEAD_INIT, "vexlor", "", 0, nullptr,
                                    nullptr, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit_vexlor(void) { return PyModule_Create(&vexlor_module); }
