// Channel concatenation of 2..8 images ("concat_fp32"): inputs {C_i, H, W}
// of equal H and W give {sum of C_i, H, W}, channels in input order.
#pragma once
#include "engine/concat_fusion.h"
#include "layers/common/layer_base.h"

namespace vantrel {

class ConcatFp32 final : public Fp32Layer, public ConcatSliceWriter {
public:
    // Refuses fewer than 2 or more than 8 inputs and inputs whose h or w
    // differ from input 0's. Writing a slice, 1 input will do, and their
    // channels must add up to the slice's.
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;
    Shape3 output_shape(Shape3 input) const override {
        return slice_row_ > 0 ? Shape3{slice_row_, input.h, input.w} : input;
    }
    // Channel counts summed (saturating at INT32_MAX; forward refuses such
    // a tensor), h and w of input 0; {row, h, w} when writing a slice.
    Shape3 output_shape_multi(const Shape3* inputs, int count) const override;

    // On the host: the inputs go to channels [begin, end) of pixels of
    // `row` channels, the rest of the output untouched. (0, 0, 0) restores
    // the plain concatenation.
    bool write_channel_slice(int32_t begin, int32_t end, int32_t row) override;

private:
    int32_t slice_begin_ = 0, slice_end_ = 0, slice_row_ = 0;  // row 0: plain
};

}  // namespace vantrel
