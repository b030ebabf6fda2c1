// Channel concatenation of `count` tensors of `rows` rows each: row r of the
// output is row r of in[0] (c[0] floats), then row r of in[1] (c[1] floats),
// and so on. Row copies only, so one portable version serves every path.
#pragma once
#include <cstdint>

namespace vantrel {

void k_concat_f32(const float* const* in, const int32_t* c, int32_t count, float* out, int32_t rows,
                  void* stream);

// The same into rows of `out_row` floats (at least the sum of c): each
// output row's floats after the copied ones are left as they are.
void concat_f32_into(const float* const* in, const int32_t* c, int32_t count, float* out, int64_t out_row,
                     int32_t rows);

}  // namespace vantrel
