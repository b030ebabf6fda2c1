// The CPU backend: its kernel table and its registration at load.
#pragma once
#include "engine/backend.h"
#include "kernels/kernel_path.h"

namespace vantrel {

// The CPU backend's table, filled for the given kernel path.
Backend make_cpu_backend(KernelPath path);
// The registered CPU backend (filled once, at load).
const Backend& cpu_backend();

}  // namespace vantrel
