#include "kernels/elementwise/quantize_s8.h"
#include "kernels/elementwise/quantize_s8_loops.h"

namespace vantrel {

VANTREL_QUANTIZE_S8_KERNELS(_avx512)

}  // namespace vantrel
