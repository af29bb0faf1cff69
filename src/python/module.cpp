// The module definition: multi-phase initialisation, one execution slot that creates the
// function objects and lists them in __all__ in catalogue order, and no state of its own.
#include "python/args.hpp"
#include "python/catalogue.hpp"

#include <array>

namespace native_accel::python {
namespace {

// Catalogue order: the order of registration and of __all__.
const std::array kCatalogue = {
    &lzss_pack_method,
    &lzss_pack_level_method,
    &lzss_unpack_method,
    &lzss32_pack_method,
    &lzss32_unpack_method,
    &xor_cycle_inplace_method,
    &md5_digest_method,
    &nwa_decode_pcm_method,
    &tile_copy_method,
    &msvcrand_shuffle_inplace_method,
    &find_shuffle_seed_first_method,
};

// The module's __all__ list, created on first use.
OwnedRef all_list(PyObject* module) {
    OwnedRef all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return {};
        PyErr_Clear();
        all = OwnedRef(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return {};
    }
    if (!PyList_Check(all.get())) {
        type_mismatch_error(all.get(), "list");
        return {};
    }
    return all;
}

bool register_function(PyObject* module, PyMethodDef* method) {
    OwnedRef module_name(PyModule_GetNameObject(module));
    if (!module_name) return false;
    OwnedRef function(PyCMethod_New(method, module, module_name.get(), nullptr));
    if (!function) return false;
    OwnedRef name(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) return false;
    if (!PyUnicode_Check(name.get())) return type_mismatch_error(name.get(), "str");
    OwnedRef all = all_list(module);
    if (!all) return false;
    if (PyList_Append(all.get(), name.get()) < 0) return false;
    return PyObject_SetAttr(module, name.get(), function.get()) == 0;
}

int module_exec(PyObject* module) {
    if (!PyModule_Check(module)) {
        type_mismatch_error(module, "module");
        return -1;
    }
    for (PyMethodDef* method : kCatalogue) {
        if (!register_function(module, method)) return -1;
    }
    return 0;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&module_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef kDefinition = {
    PyModuleDef_HEAD_INIT,
    "native_accel",  // m_name
    "",              // m_doc: present and empty
    0,               // m_size: no per-module state
    nullptr,         // m_methods: functions are added by module_exec
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace native_accel::python

PyMODINIT_FUNC PyInit_native_accel() {
    return PyModuleDef_Init(&native_accel::python::kDefinition);
}
