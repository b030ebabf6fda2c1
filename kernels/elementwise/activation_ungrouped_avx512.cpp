// The activations of activation_ungrouped.h on sixteen lanes.
// GCC 12 flags the deliberately undefined pass-through operands inside its
// AVX-512 intrinsic headers as maybe-uninitialized.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include "kernels/elementwise/activation_ungrouped.h"
#include "kernels/elementwise/activation_lanes_avx512.h"
#include "kernels/elementwise/activation_ungrouped_loops.h"

namespace vantrel {

VANTREL_UNGROUPED_ACTIVATION_KERNELS(_avx512, UngroupedLanesAvx512)

}  // namespace vantrel
