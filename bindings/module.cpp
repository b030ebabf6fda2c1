// The Python module model_inference.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>

#include "engine/backend.h"
#include "kernels/kernel_path.h"

namespace py = pybind11;

namespace {

constexpr const char* kModuleDoc = R"(Python bindings for the vantrel inference engine.

Quick start::

    import numpy as np, model_inference as mi
    model = mi.InferenceModel('model_defs/resnet50_fp32_arch.json',
                              'weights/resnet50_fp32.bin')
    logits = model.forward(np.zeros((224, 224, 3), dtype=np.float32)))";

// The module is built for one interpreter version and refuses any other.
void check_interpreter_version() {
    py::object info = py::module_::import("sys").attr("version_info");
    int major = info.attr("major").cast<int>();
    int minor = info.attr("minor").cast<int>();
    if (major != PY_MAJOR_VERSION || minor != PY_MINOR_VERSION)
        throw py::import_error("model_inference was built for Python " +
                               std::to_string(PY_MAJOR_VERSION) + "." + std::to_string(PY_MINOR_VERSION) +
                               " and cannot be imported by Python " + std::to_string(major) + "." +
                               std::to_string(minor));
}

}  // namespace

PYBIND11_MODULE(model_inference, m) {
    check_interpreter_version();
    m.doc() = kModuleDoc;

    m.def("set_backend", &vantrel::set_backend, py::arg("name") = "cpu",
          "Select the active backend.\n\nArgs:\n    name: 'cpu' (default), 'cuda', or 'metal'\n\n"
          "Returns:\n    True if the backend was found and activated.");
    m.def("active_backend", &vantrel::active_backend,
          "Return the name of the currently active backend ('cpu', 'cuda', or 'metal').");

    // Diagnostics beyond the public API: which kernel implementations run.
    m.def("_kernel_path", [] { return std::string(vantrel::kernel_path_name(vantrel::active_kernel_path())); },
          "Name of the kernel path the CPU backend uses (portable, avx2, avx512 or neon).");
    m.def("_supported_kernel_paths", [] {
        py::list out;
        for (auto p : {vantrel::KernelPath::Portable, vantrel::KernelPath::Avx2,
                       vantrel::KernelPath::Avx512, vantrel::KernelPath::Neon})
            if (vantrel::kernel_path_supported(p)) out.append(vantrel::kernel_path_name(p));
        return out;
    }, "Kernel paths this CPU and build can run.");
}
