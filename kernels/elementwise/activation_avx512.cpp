// Activation kernels on sixteen lanes: four groups of 4 per register, the
// last one to three groups under a mask, then the scalar tail (activation.h).
// GCC 12 flags the deliberately undefined pass-through operands inside its
// AVX-512 intrinsic headers as maybe-uninitialized.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include "kernels/elementwise/activation.h"
#include "kernels/elementwise/activation_lanes_avx512.h"
#include "kernels/elementwise/activation_loops.h"

namespace vantrel {

VANTREL_ACTIVATION_KERNELS(avx512, ActLanesAvx512)

}  // namespace vantrel
