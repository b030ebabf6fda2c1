// Fuzzes the architecture loader and the layer factory on JSON text: it
// either yields a graph (a layer per known node) or throws
// std::runtime_error.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "loader/arch_loader.h"

using namespace vantrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    try {
        ArchGraph g = load_arch_text(text, "fuzz.json");
        size_t known = 0;
        for (const ArchNode& n : g.nodes) known += n.op != OP_UNKNOWN;
        if (g.inputs.empty() || g.layers.size() != known) __builtin_trap();
    } catch (const std::runtime_error&) {
    }
    return 0;
}
