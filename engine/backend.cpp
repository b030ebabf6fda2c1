#include "engine/backend.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace vantrel {

const char* const kNoBackendMessage =
    "No backend registered. Did you link cpu_backend (or another backend)?";

namespace {
const Backend* g_active = nullptr;

const char* const kSlotNames[kKernelSlots] = {
    "k_pack_s8", "k_pack_f32", "k_free_packed_s8", "k_free_packed_f32",
    "k_gemm_s8_requant", "k_gemm_s8_s32", "k_gemm_f32", "k_linear_f32",
    "k_conv2d_s8", "k_conv2d_s8_wino", "k_conv2d_f32", "k_conv2d_f32_wino",
    "k_seq_gemm_f32", "k_seq_gemm_s8", "k_seq_gemm_f32_alt", "k_conv1d_s8",
    "k_conv1d_f32", "k_conv_transpose1d_f32", "k_attention_f32", "k_attention_s8",
    "k_layer_norm_f32", "k_maxpool_s8_alt", "k_maxpool_s8", "k_maxpool_f32",
    "k_avgpool_s8_alt", "k_avgpool_s8", "k_avgpool_f32", "k_add_f32",
    "k_add_s8", "k_relu_f32", "k_gelu_f32", "k_sigmoid_f32",
    "k_tanh_f32", "k_leaky_relu_f32", "k_exp_f32", "k_sin_f32",
    "k_upsample_nearest1d_f32", "k_upsample_bilinear_f32", "k_ada_in1d_f32",
    "k_ada_layer_norm_f32", "k_accumulate_f32", "k_add_row_vector_f32", "k_scale_f32",
    "k_row_sum_f32", "k_relu_f32_alt", "k_embedding_f32", "k_concat1d_f32",
    "k_slice_channels_f32", "k_snake_f32", "k_lstm_f32", "k_stft_f32",
    "k_istft_f32", "k_reflection_pad1d_f32", "k_sine_gen_f32", "k_rms_norm_f32",
    "k_silu_f32", "k_mul_f32", "k_causal_attention_f32",
};

// Every kernel slot is one function pointer, laid out in slot order right
// after the allocator getter.
static_assert(sizeof(Backend) == 61 * sizeof(void*), "Backend must be 61 pointer-sized slots");
}  // namespace

const char* kernel_slot_name(int slot) {
    if (slot < kFirstKernelSlot || slot >= kFirstKernelSlot + kKernelSlots) return nullptr;
    return kSlotNames[slot - kFirstKernelSlot];
}

const void* kernel_slot(const Backend& b, int slot) {
    if (slot < kFirstKernelSlot || slot >= kFirstKernelSlot + kKernelSlots) return nullptr;
    void* p = nullptr;
    const char* base = reinterpret_cast<const char*>(&b.k_pack_s8);
    std::memcpy(&p, base + size_t(slot - kFirstKernelSlot) * sizeof(void*), sizeof(void*));
    return p;
}

std::vector<const Backend*>& backend_registry() {
    static std::vector<const Backend*> registry;
    return registry;
}

void register_backend(const Backend* b) {
    auto& reg = backend_registry();
    reg.push_back(b);
    std::stable_sort(reg.begin(), reg.end(), [](const Backend* x, const Backend* y) {
        return x->k_priority > y->k_priority;
    });
    g_active = reg.front();
}

const Backend* active_backend_ptr() { return g_active; }

const Backend& active_backend_or_throw() {
    if (!g_active) throw std::runtime_error(kNoBackendMessage);
    return *g_active;
}

bool set_backend(const std::string& name) {
    for (const Backend* b : backend_registry()) {
        if (b->k_name && name == b->k_name) {
            g_active = b;
            return true;
        }
    }
    return false;
}

std::string active_backend() { return active_backend_or_throw().k_name; }

}  // namespace vantrel
