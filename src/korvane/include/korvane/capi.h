/* The layout shared by korvane's native operation tables, and their import.
 *
 * Each table is a static structure inside an extension module, published as a
 * capsule in its type's dictionary under "_native_ops". Every table begins
 * with the same two members:
 *
 *   size   sizeof the table as the module was built;
 *   type   the type whose instances the operations take.
 *
 * Operations are only ever appended to a table, never reordered or removed,
 * so a table whose size is at least the size of the structure a client was
 * compiled with has every operation that client knows, at the same offset.
 * A client that can do without a later operation may instead compare
 * `size` with the end of that member (offsetof plus the member's size).
 *
 * Tables stay valid until the process ends: extension modules are never
 * unloaded.
 *
 * On a free-threaded build (3.13t), "holding the interpreter lock" reads
 * "with an attached thread state"; each table's header says which of its
 * operations need neither. */
#ifndef KORVANE_CAPI_H
#define KORVANE_CAPI_H

#include <Python.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
    size_t size;
    PyTypeObject *type;
} KorvaneTableHead;

/* True when `obj` is an instance of the table's type (exactly, or a
 * subclass), the only objects its operations accept; anything else would be
 * read as the type's layout. Never fails; needs the interpreter lock. */
#define KORVANE_CHECK(table, obj) PyObject_TypeCheck((obj), (table)->type)

/* Imports `module_name` and returns the table published by its type
 * `type_name` under the capsule name `capsule_name`, or NULL with ImportError
 * set when there is none or it is smaller than `client_size` (the client was
 * compiled against newer headers than the installed module). Needs the
 * interpreter lock; call it from the client's module initialisation. */
static inline const void *
korvane_import_table(const char *module_name, const char *type_name, const char *capsule_name,
                     size_t client_size)
{
    const KorvaneTableHead *table = NULL;
    PyObject *module = PyImport_ImportModule(module_name);
    if (module == NULL) {
        return NULL;
    }
    PyObject *type = PyObject_GetAttrString(module, type_name);
    Py_DECREF(module);
    PyObject *capsule = type != NULL ? PyObject_GetAttrString(type, "_native_ops") : NULL;
    Py_XDECREF(type);
    if (capsule != NULL && PyCapsule_IsValid(capsule, capsule_name)) {
        table = (const KorvaneTableHead *)PyCapsule_GetPointer(capsule, capsule_name);
    }
    Py_XDECREF(capsule);
    if (table == NULL) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "%s.%s has no native operation table named %s", module_name, type_name,
                     capsule_name);
        return NULL;
    }
    if (table->size < client_size) {
        PyErr_Format(PyExc_ImportError,
                     "%s has %zu bytes but this client was compiled for %zu: "
                     "the installed korvane is older than the headers it was built with",
                     capsule_name, table->size, client_size);
        return NULL;
    }
    return table;
}

#ifdef __cplusplus
}
#endif

#endif
