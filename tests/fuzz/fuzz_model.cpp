// Fuzzes whole-model construction plus forward passes. One input holds
// both files: a 4-byte little-endian length L, then L bytes of architecture
// JSON, then the weights file. Construction and each pass either succeed or
// throw std::runtime_error (or the executor's std::out_of_range for a
// tensor name it does not know).
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "model_mutator.h"
#include "loader/inference_model.h"
#include "loader/json.h"

using namespace vantrel;

namespace {

// Sizes in a file are taken at their word, so a fuzzed file can ask for far
// more work than a run should take; such inputs are skipped, not run.
constexpr double kMaxNumber = 4096;
constexpr size_t kMaxNodes = 64;
constexpr int64_t kMaxInputElements = 4096;

bool bounded(const JsonValue& v) {
    if (v.kind == JsonKind::Number && !(std::fabs(v.number) <= kMaxNumber)) return false;
    for (const JsonValue& e : v.elements)
        if (!bounded(e)) return false;
    if (v.kind == JsonKind::Object && v.members)
        for (const auto& kv : *v.members)
            if (!bounded(kv.second)) return false;
    return true;
}

bool worth_running(const std::string& arch) {
    JsonValue root;
    try {
        root = parse_json(arch);
    } catch (const std::runtime_error&) {
        return true;  // the loader's own error path is cheap
    }
    if (!bounded(root)) return false;
    if (has(root, "nodes") && size(at(root, "nodes")) > kMaxNodes) return false;
    return true;
}

// One pass with every declared input filled; a 0 dimension becomes `fill`.
// Float values reach +-3 * scale: large ones make data-sized outputs (length
// regulation by durations) grow past what was planned.
void run_once(InferenceModel& model, int fill, float scale) {
    std::vector<std::vector<uint8_t>> storage;
    InputMap inputs;
    for (const InputSpec& spec : model.graph().inputs) {
        if (inputs.size() == 4) break;
        std::vector<int> shape = spec.shape;
        int64_t count = 1;
        for (int& d : shape) {
            if (d == 0) d = fill;
            if (d > 0) count *= d;
            if (count > kMaxInputElements) return;
        }
        InputTensor t;
        t.dtype = spec.dtype == "int8" ? "int8" : "float32";
        size_t bytes = size_t(count) * (t.dtype == "int8" ? 1 : 4);
        storage.emplace_back(bytes);
        std::vector<uint8_t>& data = storage.back();
        if (t.dtype == "int8") {
            for (size_t i = 0; i < bytes; ++i) data[i] = uint8_t(i * 37 + 11);
        } else {
            auto* f = reinterpret_cast<float*>(data.data());
            for (int64_t i = 0; i < count; ++i) f[i] = float(int(i % 7) - 3) * scale;
        }
        t.data = data.data();
        t.shape = shape;
        inputs[spec.name] = std::move(t);
    }
    OutputMap out = model.run(inputs);
    for (const auto& kv : out)
        if (kv.second.bytes.size() && !kv.second.data) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // One thread keeps runs reproducible and fast under the sanitizers.
    setenv("OMP_NUM_THREADS", "1", 1);
    fuzz::install_capped_backend();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return -1;
    size_t len = size_t(data[0]) | size_t(data[1]) << 8 | size_t(data[2]) << 16 | size_t(data[3]) << 24;
    if (len > size - 4) len = size - 4;
    std::string arch(reinterpret_cast<const char*>(data + 4), len);
    if (!worth_running(arch)) return -1;
    fuzz::MemFile arch_file(data + 4, len);
    fuzz::MemFile weights_file(data + 4 + len, size - 4 - len);
    try {
        InferenceModel model(arch_file.path(), weights_file.path());
        const struct { int fill; float scale; } passes[] = {{3, 0.25f}, {1, 0.25f}, {3, 5.0f}};
        for (const auto& pass : passes) {
            try {
                run_once(model, pass.fill, pass.scale);
            } catch (const std::runtime_error&) {
            } catch (const std::out_of_range&) {
            }
            model.set_speed(2.0f);
        }
    } catch (const std::runtime_error&) {
    }
    return 0;
}

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t max_size, unsigned int seed) {
    return fuzz::mutate_model_input(data, size, max_size, seed);
}
