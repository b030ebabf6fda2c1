#include "engine/cpu_backend/cpu_backend.h"

#include <cstdlib>

#include "engine/allocator.h"

namespace vantrel {

namespace {
Allocator* get_cpu_allocator() { return &cpu_allocator(); }
}  // namespace

Backend make_cpu_backend(KernelPath path) {
    (void)path;
    Backend b{};
    b.k_name = "cpu";
    b.k_priority = 0;
    b.kind = kBackendHost;
    b.k_get_allocator = &get_cpu_allocator;
    // Kernel slots are filled here, each through pick_kernel(path, ...), as
    // the kernels are built; an empty slot stays null.
    // -- element-wise and activation kernels
    // -- pooling and resampling kernels
    // -- float matrix-product kernels
    // -- float convolution kernels
    return b;
}

const Backend& cpu_backend() {
    static const Backend b = [] {
        KernelPath path = select_kernel_path(std::getenv("VANTREL_KERNEL_PATH"));
        set_active_kernel_path(path);
        return make_cpu_backend(path);
    }();
    return b;
}

namespace {
// Runs at load: allocators first, so they outlive every Buffer, then the
// backend joins the registry and the first entry becomes active.
struct CpuBackendRegistration {
    CpuBackendRegistration() {
        cpu_allocator();
        host_staging_allocator();
        register_backend(&cpu_backend());
    }
} g_cpu_backend_registration;
}  // namespace

}  // namespace vantrel
