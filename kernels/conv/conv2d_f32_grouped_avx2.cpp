#include "kernels/conv/conv2d_f32_grouped.h"
#include "kernels/conv/conv2d_f32_grouped_loops.h"
#include "kernels/conv/conv2d_f32_grouped_x86.h"

namespace vantrel {

namespace {
using Avx2Channels = GroupedVecChannels<GroupedVec8, GroupedScalarChannels>;
}  // namespace

VANTREL_GROUPED_F32_ENTRY_POINT(avx2, Avx2Channels)

}  // namespace vantrel
