// Float LSTM layer ("lstm_fp32"): one layer over a time-major sequence of
// T = L*W steps of I features, zero initial state, optionally bidirectional.
// All input projections are one GEMM per direction; the recurrence does one
// 1 x H by H x 4H product per step, then the gates (kernels/audio/lstm_f32.h).
// Output row t holds the forward hidden state at t, then (bidirectional) the
// reverse direction's hidden state at t. The two directions run in two
// OpenMP sections; each writes only its own buffers, so the result does not
// depend on the thread count.
#pragma once
#include <string>
#include <vector>

#include "layers/common/layer_base.h"

namespace vantrel {

class LstmFp32 final : public HostOnKinds1And2<Fp32Layer> {
public:
    // Throws when hidden_size is below 1 or 4*hidden_size exceeds 32 bits.
    LstmFp32(const std::string& node_name, int32_t hidden_size, bool bidirectional);

    // ".weight_ih_l0": a positive multiple of 4H floats (I = count / 4H);
    // ".weight_hh_l0": exactly 4H*H; ".bias_ih_l0", ".bias_hh_l0": absent,
    // empty or exactly 4H. The "_reverse" tensors of a bidirectional layer
    // follow the same rules with the same I.
    void load_weights(const WeightFetch& fetch) override;
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;
    // {D*H, L, W}.
    Shape3 output_shape(Shape3 input) const override;
    void upload_weights(Allocator& alloc) override;

    struct Direction {
        std::vector<float> w_ih, w_hh;  // raw [4H][I], [4H][H]; kept only for a device kernel
        std::vector<float> b_ih, b_hh;  // [4H] or empty
        Buffer packed_ih, packed_hh;    // pack_f32 blocks
        Buffer dev_w_ih, dev_w_hh, dev_b_ih, dev_b_hh;
    };

    int32_t hidden_size;
    bool bidirectional;
    int32_t input_size = 0;  // I, known once the weights are loaded
    Direction dir[2];

private:
    bool loaded_ = false;
};

}  // namespace vantrel
