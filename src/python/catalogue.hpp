// The descriptors of the module's functions. Each one is defined beside its entry in the
// entries_<concern>.cpp file of its subsystem; module.cpp registers them in catalogue order.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace native_accel::python {

// Every function is a static fast-call entry with keywords: METH_STATIC gives it no self
// and makes its __self__ None.
inline constexpr int kEntryFlags = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;

// The parameter list of every function that takes one `data` argument.
inline constexpr const char* kDataOnly[] = {"data"};

// Defines the descriptor `name`_method of the entry function `name`. The doc string is only
// the text signature: "name(params)\n--\n\n" makes the interpreter report
// __text_signature__ "(params)" and __doc__ None.
#define NATIVE_ACCEL_METHOD(name, params)                                                     \
    PyMethodDef name##_method = {#name,                                                     \
                                 reinterpret_cast<PyCFunction>(                             \
                                     reinterpret_cast<void (*)()>(name)),                   \
                                 kEntryFlags, #name params "\n--\n\n"}

extern PyMethodDef lzss_pack_method;
extern PyMethodDef lzss_pack_level_method;
extern PyMethodDef lzss_unpack_method;
extern PyMethodDef lzss32_pack_method;
extern PyMethodDef lzss32_unpack_method;
extern PyMethodDef xor_cycle_inplace_method;
extern PyMethodDef md5_digest_method;
extern PyMethodDef nwa_decode_pcm_method;
extern PyMethodDef tile_copy_method;
extern PyMethodDef msvcrand_shuffle_inplace_method;
extern PyMethodDef find_shuffle_seed_first_method;

}  // namespace native_accel::python
