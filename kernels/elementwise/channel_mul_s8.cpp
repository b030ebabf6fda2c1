#include "kernels/elementwise/channel_mul_s8_loops.h"

namespace vantrel {

VANTREL_CHANNEL_MUL_S8_KERNEL()

}  // namespace vantrel
