// The descriptors of the module's functions. Each one is declared beside its body in the
// entries_<concern>.cpp file of its subsystem (see function.hpp); module.cpp registers them
// in catalogue order.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace native_accel::python {

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
