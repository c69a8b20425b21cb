// The one header through which program code reaches the CUDA runtime and cuBLAS.
//
// The build picks the backend: the real libraries, or the host stand-in under
// gpu/emulated/ when KAVREL_EMULATED_GPU is defined. Both offer the same names, argument
// lists and 0-is-success statuses, so code including this header compiles the same for
// either and cannot tell which one it talks to.
#pragma once

#if defined(KAVREL_EMULATED_GPU)
#include "gpu/emulated/emulatedGpuLibrary.h"
#else
#include <cublas_v2.h>
#include <cuda_runtime.h>
#endif
