#include "kernels/pool/avgpool2d_s8_loops.h"

namespace vantrel {

VANTREL_AVGPOOL_S8_KERNELS(_avx2)

}  // namespace vantrel
