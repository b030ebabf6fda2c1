// The CPU backend: its kernel table and its registration at load.
#pragma once
#include "engine/backend.h"
#include "kernels/kernel_path.h"

namespace vantrel {

// Fills the CPU backend's table and the CPU-internal one
// (kernels/cpu_kernels.h) with the variants of `path`, a path this CPU runs:
// the one place the instruction-set choice is made. At load it runs with the
// path VANTREL_KERNEL_PATH selects; tests run it again to try another path.
// Never while kernels run.
void select_cpu_kernel_path(KernelPath path);
// The registered CPU backend (filled at load).
const Backend& cpu_backend();

}  // namespace vantrel
