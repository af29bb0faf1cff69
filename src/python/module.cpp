// The module definition: multi-phase initialisation, one execution slot that creates the
// function objects and lists them in __all__ in catalogue order, and no state of its own.
//
// Why the functions are created here with PyCMethod_New rather than listed in m_methods:
// every function is METH_STATIC (its entry gets no self, and its __self__ is None), and
// PyModule_AddFunctions, which the interpreter runs over m_methods, refuses that flag
// ("module functions cannot set METH_CLASS or METH_STATIC"). The exec slot runs on a
// module object the interpreter has just created, with no __all__ and no attributes of
// ours yet, so it only adds.
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

int module_exec(PyObject* module) {
    OwnedRef module_name(PyModule_GetNameObject(module));
    OwnedRef all(PyList_New(0));
    if (!module_name || !all) return -1;
    for (PyMethodDef* method : kCatalogue) {
        OwnedRef function(PyCMethod_New(method, module, module_name.get(), nullptr));
        OwnedRef name(PyUnicode_FromString(method->ml_name));
        if (!function || !name || PyList_Append(all.get(), name.get()) < 0 ||
            PyObject_SetAttr(module, name.get(), function.get()) < 0) {
            return -1;
        }
    }
    return PyModule_AddObjectRef(module, "__all__", all.get());
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
