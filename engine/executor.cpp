#include "engine/executor.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "engine/backend.h"
#include "engine/cache_capacity.h"
#include "engine/tensor_slots.h"
#include "kernels/parallel/strip_pool.h"
#include "loader/op_table.h"

namespace vantrel {

namespace {

int64_t elem_bytes(int dtype) { return dtype == kDtypeInt8 ? 1 : 4; }

// Inputs and outputs of 256 KB or more are copied by the whole team, in
// chunks from the strip pool: 3 MB take one core about 66 us, two about 34,
// where a 1x1 convolution from 64 to 256 channels at 56x56 pixels (whose
// output that is) takes 490 us on two threads. Forwards of one such layer
// on two threads ran 3 to 27% faster (800 KB in and out, 64 to 64
// channels: 0.228 -> 0.165 ms), none slower.
void copy_host_bytes(void* dst, const void* src, uint64_t bytes) {
    constexpr uint64_t kChunk = uint64_t(128) << 10, kMin = uint64_t(256) << 10;
    const int team = bytes >= kMin ? strip_team() : 1;
    if (team < 2) {
        if (bytes) std::memcpy(dst, src, size_t(bytes));
        return;
    }
    run_strips(int64_t((bytes + kChunk - 1) / kChunk), team, [&](int64_t i, int) {
        const uint64_t at = uint64_t(i) * kChunk, n = std::min(kChunk, bytes - at);
        std::memcpy(static_cast<char*>(dst) + at, static_cast<const char*>(src) + at, size_t(n));
    });
}

// bytes * samples, saturating so an absurd batch is refused by the
// allocator instead of wrapping into a small size.
uint64_t times_sat(uint64_t bytes, int64_t samples) {
    if (samples <= 1 || bytes == 0) return bytes;
    if (bytes > UINT64_MAX / uint64_t(samples)) return UINT64_MAX;
    return bytes * uint64_t(samples);
}

// VANTREL_NO_TENSOR_SHARING=1 gives every tensor a buffer of its own (for
// comparing the two plans; results are the same).
bool tensor_sharing_disabled() {
    const char* v = std::getenv("VANTREL_NO_TENSOR_SHARING");
    return v && *v && std::strcmp(v, "0") != 0;
}

bool batch_stacking_disabled() {
    const char* v = std::getenv("VANTREL_NO_BATCH_STACK");
    return v && *v && std::strcmp(v, "0") != 0;
}

const char* op_name_or_unknown(int32_t code) {
    const char* n = op_name_from_code(code);
    return (n && *n) ? n : "unknown";
}

// Product of caller-supplied dimensions; negative dimensions and more than
// three are refused because the tensor would not be {c, h, w}.
int64_t supplied_count(const std::string& name, const std::vector<int>& dims) {
    if (dims.size() > 3)
        throw std::runtime_error("input '" + name + "' has " + std::to_string(dims.size()) +
                                 " dimensions; at most 3 ([h, w, c]) are supported");
    int64_t n = 1;
    for (int d : dims) {
        if (d < 0) throw std::runtime_error("input '" + name + "' has a negative dimension");
        if (d != 0 && n > INT64_MAX / 4 / d) throw std::runtime_error("input '" + name + "' is too large");
        n *= d;
    }
    return n;
}

// The input's bytes for one sample, from its shape and element type.
uint64_t sample_bytes(const std::string& name, const InputTensor& t) {
    return byte_count(supplied_count(name, t.shape), t.dtype == "int8" ? 1 : 4);
}

// The inputs of sample `b`: views into the caller's batch arrays.
InputMap sample_inputs(const InputMap& batch, int64_t b) {
    InputMap one;
    for (const auto& kv : batch) {
        InputTensor t;
        t.shape = kv.second.shape;
        t.dtype = kv.second.dtype;
        t.data = kv.second.data
                     ? static_cast<const char*>(kv.second.data) + uint64_t(b) * sample_bytes(kv.first, kv.second)
                     : nullptr;
        one.emplace(kv.first, std::move(t));
    }
    return one;
}

}  // namespace

Shape3 shape_to_shape3(const std::vector<int>& dims, const std::vector<int>* fallback) {
    if (dims.empty()) return Shape3{1, 1, 1};
    auto pick = [](const std::vector<int>& d, int& c, int& h, int& w) {
        c = d.back();
        h = d.size() >= 2 ? d[0] : 1;
        w = d.size() >= 3 ? d[1] : 1;
    };
    int c, h, w;
    pick(dims, c, h, w);
    if (fallback && !fallback->empty()) {
        int fc = 1, fh = 1, fw = 1;
        pick(*fallback, fc, fh, fw);
        if (c == 0) c = fc;
        if (h == 0) h = fh;
        if (w == 0) w = fw;
    }
    if (h < 1) h = 1;
    if (w < 1) w = 1;
    return Shape3{c, h, w};
}

void GraphExecutor::prepare(ArchGraph& graph, Allocator* alloc, Allocator* staging) {
    graph_ = &graph;
    alloc_ = alloc;
    staging_ = staging ? staging : &host_staging_allocator();
    std::unordered_map<std::string, ILayer*> by_name;
    for (auto& l : graph.layers) by_name[l->name] = l.get();
    node_layers_.assign(graph.nodes.size(), nullptr);
    for (size_t i = 0; i < graph.nodes.size(); ++i) {
        auto it = by_name.find(graph.nodes[i].name);
        if (it != by_name.end()) node_layers_[i] = it->second;
    }

    index_.clear();
    auto add = [&](const std::string& n) {
        if (!index_.count(n)) index_.emplace(n, int(index_.size()));
    };
    for (const InputSpec& s : graph.inputs) add(s.name);
    for (const ArchNode& n : graph.nodes)
        for (const std::string& o : n.outputs) add(o);
    shapes_.assign(index_.size(), Shape3{0, 0, 0});
    dtypes_.assign(index_.size(), kDtypeFp32);
    strides_.assign(index_.size(), 0);
    for (size_t i = 0; i < graph.nodes.size(); ++i)
        if (node_layers_[i])
            for (const std::string& o : graph.nodes[i].outputs) dtypes_[index_.at(o)] = node_layers_[i]->dtype();
    for (const InputSpec& s : graph.inputs) {
        int& d = dtypes_[index_.at(s.name)];
        if (d == kDtypeInt8 && s.dtype != "int8") d = kDtypeFp32;
    }
    check_tensor_dtypes();
    // Tensors share buffers by lifetime, paired by their sizes as planned
    // from the declared shapes; each buffer then grows to its largest tenant.
    const std::vector<int64_t> counts = planned_counts(InputMap{});
    std::vector<uint64_t> bytes(index_.size());
    for (size_t t = 0; t < bytes.size(); ++t) bytes[t] = byte_count(counts[t], elem_bytes(dtypes_[t]));
    TensorSlots slots = plan_tensor_slots(graph, index_, bytes, !tensor_sharing_disabled());
    slot_ = std::move(slots.slot_of);
    buffers_.clear();
    buffers_.resize(size_t(slots.count));
    plan(InputMap{});
}

void GraphExecutor::grow(Buffer& b, uint64_t bytes, Allocator& alloc, bool zero) {
    if (b.size >= bytes) return;
    Buffer nb = alloc.make_buffer(size_t(bytes));
    // Fresh tensor memory starts at zero, so an input never supplied or a
    // tensor read before it is written holds zeros, not stale heap bytes.
    if (zero && nb.data) alloc.fill_zero(nb.data, size_t(bytes));
    b = std::move(nb);
}

void GraphExecutor::grow_scratch(ILayer& layer, Shape3 in0, bool cross) {
    ScratchRequest req;
    layer.plan_scratch(in0, req);
    Buffer* areas = cross ? host_scratch_ : device_scratch_;
    Allocator& a = cross ? *staging_ : *alloc_;
    for (int i = 0; i < kScratchAreas; ++i) grow(areas[i], req.bytes[i], a, false);
}

std::vector<int64_t> GraphExecutor::planned_counts(const InputMap& inputs, std::vector<Shape3>* last) const {
    const ArchGraph& g = *graph_;
    std::vector<int64_t> largest(index_.size(), 0);
    std::vector<Shape3> planned(index_.size(), Shape3{0, 0, 0});
    for (const InputSpec& s : g.inputs) {
        auto it = inputs.find(s.name);
        Shape3 sh = shape_to_shape3(s.shape, it != inputs.end() ? &it->second.shape : nullptr);
        int idx = index_.at(s.name);
        planned[idx] = sh;
        largest[idx] = std::max(largest[idx], element_count(sh));
    }
    for (size_t i = 0; i < g.nodes.size(); ++i) {
        ILayer* layer = node_layers_[i];
        const ArchNode& n = g.nodes[i];
        if (!layer || n.outputs.empty()) continue;
        Shape3 in[kMaxLayerInputs];
        int count = int(std::min<size_t>(n.inputs.size(), kMaxLayerInputs));
        for (int j = 0; j < count; ++j) {
            auto it = index_.find(n.inputs[j]);
            in[j] = it != index_.end() ? planned[it->second] : Shape3{0, 0, 0};
        }
        Shape3 out = layer->output_shape_multi(in, count);
        int idx = index_.at(n.outputs[0]);
        planned[idx] = out;
        largest[idx] = std::max(largest[idx], element_count(out));
    }
    if (last) *last = std::move(planned);
    return largest;
}

void GraphExecutor::plan(const InputMap& inputs, int64_t samples) {
    ArchGraph& g = *graph_;
    std::vector<Shape3> planned;
    const std::vector<int64_t> largest = planned_counts(inputs, &planned);
    for (const auto& named : index_) {
        const size_t t = size_t(named.second);
        grow_for(buf(t), times_sat(byte_count(largest[t], elem_bytes(dtypes_[t])), samples),
                 [&] { return "tensor '" + named.first + "'"; });
    }

    // Scratch is planned for one sample; a stacked layer raises it when it runs.
    BackendKind kind = active_backend_or_throw().kind;
    for (size_t i = 0; i < g.nodes.size(); ++i) {
        ILayer* layer = node_layers_[i];
        if (!layer) continue;
        const ArchNode& n = g.nodes[i];
        Shape3 in0{0, 0, 0};
        if (!n.inputs.empty()) {
            auto it = index_.find(n.inputs[0]);
            if (it != index_.end()) in0 = planned[it->second];
        }
        grow_scratch(*layer, in0, layer->device_kind() != kind);
    }
}

void GraphExecutor::check_tensor_dtypes() const {
    // Tensors written by a node have a fixed element type; a layer reading
    // the other type would misread every element. Model inputs are checked
    // against the data bound to them instead.
    const ArchGraph& g = *graph_;
    std::vector<char> produced(index_.size(), 0);
    for (size_t i = 0; i < g.nodes.size(); ++i)
        if (node_layers_[i])
            for (const std::string& o : g.nodes[i].outputs) produced[size_t(index_.at(o))] = 1;
    auto type_name = [](int d) { return d == kDtypeInt8 ? "int8" : "float32"; };
    for (size_t i = 0; i < g.nodes.size(); ++i) {
        const ILayer* layer = node_layers_[i];
        if (!layer) continue;
        const int want = layer->input_dtype();
        for (const std::string& in : g.nodes[i].inputs) {
            auto it = index_.find(in);
            if (it == index_.end() || !produced[size_t(it->second)] || dtypes_[size_t(it->second)] == want) continue;
            throw std::runtime_error("node '" + g.nodes[i].name + "' (" + op_name_or_unknown(g.nodes[i].op) +
                                     ") reads " + type_name(want) + " data but its input '" + in + "' holds " +
                                     type_name(dtypes_[size_t(it->second)]));
        }
    }
}

void GraphExecutor::check_input_dtype(const std::string& name, const InputTensor& t) const {
    // The element size follows the data, and a layer reads its own element
    // type; a mismatch would be read as garbage, so it is refused here.
    int data = t.dtype == "int8" ? kDtypeInt8 : kDtypeFp32;
    const ArchGraph& g = *graph_;
    for (size_t i = 0; i < g.nodes.size(); ++i) {
        const ILayer* layer = node_layers_[i];
        if (!layer || layer->input_dtype() == data) continue;
        for (const std::string& in : g.nodes[i].inputs)
            if (in == name)
                throw std::runtime_error("input '" + name + "' holds " + t.dtype + " data but node '" +
                                         g.nodes[i].name + "' (" + op_name_or_unknown(g.nodes[i].op) +
                                         ") reads " + (data == kDtypeInt8 ? "float32" : "int8") +
                                         "; pass " + (data == kDtypeInt8 ? "a float32" : "an int8") + " array");
    }
}

int GraphExecutor::input_read_dtype(const std::string& name) const {
    const ArchGraph& g = *graph_;
    for (size_t i = 0; i < g.nodes.size(); ++i) {
        const ILayer* layer = node_layers_[i];
        if (!layer) continue;
        for (const std::string& in : g.nodes[i].inputs)
            if (in == name) return layer->input_dtype();
    }
    return kDtypeFp32;
}

void GraphExecutor::bind_inputs(const InputMap& inputs, int64_t samples) {
    const ArchGraph& g = *graph_;
    for (const auto& kv : inputs) {
        bool declared = false;
        for (const InputSpec& s : g.inputs) declared = declared || s.name == kv.first;
        if (!declared) {
            std::string names;
            for (const InputSpec& s : g.inputs) names += (names.empty() ? "'" : ", '") + s.name + "'";
            throw std::runtime_error("'" + kv.first + "' is not a declared input of this model (declared: " +
                                     names + ")");
        }
    }
    for (const InputSpec& s : g.inputs) {
        auto it = inputs.find(s.name);
        if (it == inputs.end() || !index_.count(s.name)) continue;
        const InputTensor& t = it->second;
        check_input_dtype(s.name, t);
        const uint64_t one = sample_bytes(s.name, t), bytes = times_sat(one, samples);
        int idx = index_.at(s.name);
        // Shapes other than the planned one may carry more elements.
        grow_for(buf(idx), bytes, [&] { return "input '" + s.name + "'"; });
        strides_[size_t(idx)] = one;
        if (bytes) {
            if (!t.data) throw std::runtime_error("input '" + s.name + "' has no data");
            if (buf(idx).on_device) alloc_->copy_to_device(buf(idx).data, t.data, size_t(bytes));
            else copy_host_bytes(buf(idx).data, t.data, bytes);
        }
        shapes_[idx] = shape_to_shape3(t.shape, nullptr);
    }
}

int GraphExecutor::node_tensors(size_t i, int* in_idx, int& num_inputs) const {
    const ArchNode& node = graph_->nodes[i];
    static const std::string kNoName;
    int out_idx = index_.at(node.outputs.empty() ? kNoName : node.outputs[0]);
    int n = int(node.inputs.size());
    if (n > kMaxLayerInputs)
        throw std::runtime_error("node '" + node.name + "' has " + std::to_string(n) + " inputs (max " +
                                 std::to_string(kMaxLayerInputs) + ")");
    for (int j = 0; j < n; ++j) {
        in_idx[j] = index_.at(node.inputs[j]);
        // Growing the output buffer would free the memory an input view
        // points at (the loader refuses such graphs; this guards others).
        if (in_idx[j] == out_idx)
            throw std::runtime_error("node '" + node.name + "' reads its own output tensor '" + node.inputs[j] +
                                     "'");
    }
    num_inputs = n;
    return out_idx;
}

void GraphExecutor::record_profile(const ArchNode& node, std::chrono::steady_clock::time_point t0) {
    double ms = double(std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - t0)
                           .count()) * 1e-6;
    op_profile[op_name_or_unknown(node.op)] += ms;
    layer_profile[node.name] += ms;
}


size_t GraphExecutor::pixelwise_tail() const {
    size_t start = node_layers_.size();
    while (start > 0 && node_layers_[start - 1] && node_layers_[start - 1]->pixelwise() &&
           !graph_->nodes[start - 1].outputs.empty())
        --start;
    return start;
}

bool GraphExecutor::tail_fits_last_row(size_t start) const {
    const ArchGraph& g = *graph_;
    const size_t count = g.nodes.size();
    if (start >= count) return false;
    // Rows are sliced by pointer arithmetic, which only host memory allows.
    for (const Buffer& b : buffers_)
        if (b.on_device) return false;
    std::vector<char> written(index_.size(), 0);
    for (size_t i = start; i < count; ++i) written[size_t(index_.at(g.nodes[i].outputs[0]))] = 1;
    // A node before the tail that reads a tail output would see one row.
    for (size_t i = 0; i < start; ++i)
        for (const std::string& in : g.nodes[i].inputs) {
            auto it = index_.find(in);
            if (it != index_.end() && written[size_t(it->second)]) return false;
        }
    std::vector<Shape3> full = shapes_;
    std::fill(written.begin(), written.end(), 0);
    for (size_t i = start; i < count; ++i) {
        const ArchNode& node = g.nodes[i];
        const int n = int(node.inputs.size());
        if (n < 1 || n > kMaxLayerInputs) return false;
        Shape3 in[kMaxLayerInputs];
        int64_t pixels = -1;
        for (int j = 0; j < n; ++j) {
            auto it = index_.find(node.inputs[j]);
            if (it == index_.end()) return false;
            const size_t t = size_t(it->second);
            in[j] = full[t];
            const int64_t p = int64_t(std::max(in[j].h, 0)) * std::max(in[j].w, 0);
            // Every input must hold the same positions (a sum of equal
            // element counts but different shapes pairs other rows).
            if (p < 1 || (pixels >= 0 && p != pixels)) return false;
            // Element-wise kernels finish a call's last n mod 4 values with
            // other code, so a row keeps its bits only at a width of 4k.
            if (in[j].c % 4) return false;
            pixels = p;
            if (!written[t] &&
                byte_count(element_count(in[j]), elem_bytes(dtypes_[t])) > buf(t).size)
                return false;
        }
        const Shape3 out = node_layers_[i]->output_shape_multi(in, n);
        if (int64_t(std::max(out.h, 0)) * std::max(out.w, 0) != pixels || out.c % 4) return false;
        const size_t o = size_t(index_.at(node.outputs[0]));
        full[o] = out;
        written[o] = 1;
    }
    return true;
}

OutputTensor GraphExecutor::copy_output(int idx, uint64_t offset) const {
    const Buffer& held = buf(idx);
    const Shape3 s = shapes_[idx];
    // A tensor no node wrote this run may still have its planned shape but a
    // smaller buffer; never copy past it.
    const uint64_t off = std::min<uint64_t>(offset, held.size);
    const uint64_t bytes = std::min<uint64_t>(byte_count(element_count(s), elem_bytes(dtypes_[idx])), held.size - off);
    OutputTensor o;
    if (s.w < 2 && s.h < 2) o.shape = {s.c};
    else if (s.w < 2) o.shape = {s.h, s.c};
    else o.shape = {s.h, s.w, s.c};
    o.dtype = dtypes_[idx] == kDtypeInt8 ? "int8" : "float32";
    const uint8_t* src = static_cast<const uint8_t*>(held.data) + off;
    o.bytes.resize(size_t(bytes));  // not zero-filled first (OutputBytes)
    if (!held.on_device) copy_host_bytes(o.bytes.data(), src, bytes);
    else if (bytes) alloc_->copy_to_host(o.bytes.data(), src, size_t(bytes));
    o.data = o.bytes.empty() ? nullptr : o.bytes.data();
    return o;
}

OutputMap GraphExecutor::execute(const InputMap& inputs, int32_t position, int64_t* step_tokens,
                                 bool last_only) {
    plan(inputs);
    ensure_caches();
    if (step_tokens) *step_tokens = -1;
    bind_inputs(inputs);
    ArchGraph& g = *graph_;
    BackendKind kind = active_backend_or_throw().kind;
    Allocator& host = *staging_;
    const size_t tail = last_only ? pixelwise_tail() : g.nodes.size();
    bool last_row = false;
    // Tensors the last-row tail wrote: one row, read as they are.
    std::vector<char> one_row;

    for (size_t i = 0; i < g.nodes.size(); ++i) {
        const ArchNode& node = g.nodes[i];
        ILayer* layer = node_layers_[i];
        if (!layer) throw std::runtime_error("No layer for: " + node.name);
        if (i == tail && tail_fits_last_row(tail)) {
            last_row = true;
            one_row.assign(index_.size(), 0);
        }
        static const std::string kNoName;
        int n = 0;
        int in_idx[kMaxLayerInputs];
        const int out_idx = node_tensors(i, in_idx, n);

        bool cross = layer->device_kind() != kind;
        const void* data[kMaxLayerInputs];
        Shape3 shapes[kMaxLayerInputs];
        TensorView views[kMaxLayerInputs];
        for (int j = 0; j < n; ++j) {
            Buffer& b = buf(in_idx[j]);
            TensorView& v = views[j];
            v.data = b.data;
            v.on_device = b.on_device;
            v.bytes = b.size;
            if (cross && b.size) {
                grow(input_staging_[j], b.size, host, false);
                alloc_->copy_to_host(input_staging_[j].data, b.data, size_t(b.size));
                v.data = input_staging_[j].data;
                v.on_device = 0;
            }
            shapes[j] = shapes_[in_idx[j]];
            if (last_row && !one_row[size_t(in_idx[j])]) {
                // The last pixel row of a full tensor (its size was checked).
                const int64_t pixels = int64_t(shapes[j].h) * shapes[j].w;
                const uint64_t skip = byte_count((pixels - 1) * std::max(shapes[j].c, 0),
                                                 elem_bytes(dtypes_[in_idx[j]]));
                v.data = static_cast<uint8_t*>(v.data) + skip;
                v.bytes -= skip;
                shapes[j] = Shape3{shapes[j].c, 1, 1};
            }
            v.c = shapes[j].c;
            v.h = shapes[j].h;
            v.w = shapes[j].w;
            data[j] = v.data;
        }

        Shape3 want = layer->output_shape_from_data(data, shapes, n);
        int64_t out_elem = elem_bytes(dtypes_[out_idx]);
        grow_for(buf(out_idx), byte_count(element_count(want), out_elem), [&] {
            return "node '" + node.name + "' (" + op_name_or_unknown(node.op) + "), output '" +
                   (node.outputs.empty() ? kNoName : node.outputs[0]) + "'";
        });

        grow_scratch(*layer, n > 0 ? shapes[0] : Shape3{0, 0, 0}, cross);
        ExecContext ctx;
        // Only stateful layers get the sequence position; cache_flag stays 0
        // (the causal attention kernel gives it no meaning).
        if (layer->is_stateful()) {
            ctx.position = position;
            const int64_t t = n > 0 ? int64_t(std::max(shapes[0].h, 0)) * std::max(shapes[0].w, 0) : 0;
            if (step_tokens && *step_tokens >= 0 && *step_tokens != t)
                throw std::runtime_error("node '" + node.name + "' takes " + std::to_string(t) +
                                         " tokens but an earlier stateful node of this step took " +
                                         std::to_string(*step_tokens) + "; one step advances one position");
            if (step_tokens) *step_tokens = t;
        }
        Buffer* areas = cross ? host_scratch_ : device_scratch_;
        for (int a = 0; a < kScratchAreas; ++a) ctx.scratch[a] = BufferView{areas[a].data, areas[a].on_device, areas[a].size};

        Buffer& ob = buf(out_idx);
        BufferView out{ob.data, ob.on_device, ob.size};
        std::chrono::steady_clock::time_point t0;
        if (profile_enabled) t0 = std::chrono::steady_clock::now();
        Shape3 got;
        if (!cross) {
            got = layer->forward(views, n, &out, &ctx);
        } else {
            grow(output_staging_, out.bytes, host, false);
            BufferView staged{output_staging_.data, 0, out.bytes};
            got = layer->forward(views, n, &staged, &ctx);
            if (out.bytes) alloc_->copy_to_device(ob.data, output_staging_.data, size_t(out.bytes));
        }
        // A layer that reports more output than its buffer holds is a fault
        // that must not reach the output copy.
        if (byte_count(element_count(got), out_elem) > ob.size)
            throw std::runtime_error("node '" + node.name + "' returned a shape larger than its output buffer");
        shapes_[out_idx] = got;
        if (last_row) one_row[size_t(out_idx)] = 1;
        if (profile_enabled) record_profile(node, t0);
    }

    OutputMap result;
    for (const std::string& name : g.output_names) {
        auto it = index_.find(name);
        if (it == index_.end()) continue;
        result[name] = copy_output(it->second, 0);
    }
    return result;
}

int64_t GraphExecutor::stack_size(const InputMap& inputs, int64_t batch) const {
    if (batch < 2 || batch_stacking_disabled()) return 1;
    // A stateful layer carries one sequence; a layer across a device
    // boundary stages whole buffers. Without a pixelwise layer nothing runs
    // stacked, so the larger buffers would buy nothing.
    BackendKind kind = active_backend_or_throw().kind;
    bool any_pixelwise = false;
    for (const ILayer* l : node_layers_) {
        if (!l) continue;
        if (l->is_stateful() || l->device_kind() != kind) return 1;
        any_pixelwise = any_pixelwise || l->pixelwise();
    }
    if (!any_pixelwise) return 1;
    // Every tensor holds all samples of a stacked pass, so the pass is cut
    // into groups whose buffers (each its largest tenant) stay within
    // kStackBytes (the results are the same for any grouping); a sample too
    // large for two runs alone.
    constexpr uint64_t kStackBytes = uint64_t(512) << 20;
    const std::vector<int64_t> counts = planned_counts(inputs);
    std::vector<uint64_t> slot_bytes(buffers_.size(), 0);
    for (size_t t = 0; t < counts.size(); ++t) {
        uint64_t& b = slot_bytes[size_t(slot_[t])];
        b = std::max(b, byte_count(counts[t], elem_bytes(dtypes_[t])));
    }
    uint64_t one = 0;
    for (uint64_t b : slot_bytes) one = b > UINT64_MAX - one ? UINT64_MAX : one + b;
    const uint64_t fit = one ? kStackBytes / one : uint64_t(batch);
    return fit < 2 ? 1 : int64_t(std::min<uint64_t>(fit, uint64_t(batch)));
}

bool GraphExecutor::execute_stacked(const InputMap& inputs, int64_t samples, std::vector<OutputMap>& outs) {
    plan(inputs, samples);
    std::fill(strides_.begin(), strides_.end(), uint64_t(0));
    bind_inputs(inputs, samples);
    ArchGraph& g = *graph_;
    static const std::string kNoName;

    for (size_t i = 0; i < g.nodes.size(); ++i) {
        const ArchNode& node = g.nodes[i];
        ILayer* layer = node_layers_[i];
        if (!layer) throw std::runtime_error("No layer for: " + node.name);
        int n = 0;
        int in_idx[kMaxLayerInputs];
        const int out_idx = node_tensors(i, in_idx, n);
        const int64_t out_elem = elem_bytes(dtypes_[out_idx]);
        auto grow_output = [&](uint64_t bytes) {
            grow_for(buf(out_idx), bytes, [&] {
                return "node '" + node.name + "' (" + op_name_or_unknown(node.op) + "), output '" +
                       (node.outputs.empty() ? kNoName : node.outputs[0]) + "'";
            });
        };
        auto too_large = [&] {
            return std::runtime_error("node '" + node.name + "' returned a shape larger than its output buffer");
        };

        Shape3 shapes[kMaxLayerInputs];
        uint64_t stride[kMaxLayerInputs];
        for (int j = 0; j < n; ++j) {
            shapes[j] = shapes_[in_idx[j]];
            stride[j] = strides_[in_idx[j]];
        }

        // Stacked along h, the samples' pixels lie back to back as they do in
        // the buffer. Only when every input has the same shape, so a flat
        // element-wise read means the same in both; and with per-sample
        // counts in whole groups of 4, as the vector kernels treat the last
        // n mod 4 elements of a call apart from the rest.
        const int64_t count0 = n > 0 ? element_count(shapes[0]) : 0;
        bool stack = layer->pixelwise() && n > 0 && count0 > 0 && count0 % 4 == 0 &&
                     int64_t(shapes[0].h) * samples <= INT32_MAX && count0 * samples <= INT32_MAX;
        for (int j = 0; stack && j < n; ++j)
            stack = shapes[j] == shapes[0] && stride[j] == byte_count(count0, elem_bytes(dtypes_[in_idx[j]]));
        Shape3 one{0, 0, 0}, all{0, 0, 0};
        const void* data[kMaxLayerInputs];
        TensorView views[kMaxLayerInputs];
        if (stack) {
            Shape3 tall[kMaxLayerInputs];
            for (int j = 0; j < n; ++j) {
                tall[j] = Shape3{shapes[j].c, int32_t(shapes[j].h * samples), shapes[j].w};
                data[j] = buf(in_idx[j]).data;
            }
            one = layer->output_shape_from_data(data, shapes, n);
            all = layer->output_shape_from_data(data, tall, n);
            const int64_t out_count = element_count(one);
            stack = one.h == shapes[0].h && one.w == shapes[0].w && out_count % 4 == 0 &&
                    out_count * samples <= INT32_MAX && all == Shape3{one.c, int32_t(one.h * samples), one.w};
            for (int j = 0; stack && j < n; ++j) {
                const Buffer& b = buf(in_idx[j]);
                views[j] = TensorView{b.data, b.on_device, stride[j] * uint64_t(samples), tall[j].c, tall[j].h,
                                      tall[j].w};
            }
        }

        ExecContext ctx;
        auto bind_scratch = [&] {
            for (int a = 0; a < kScratchAreas; ++a) {
                const Buffer& area = device_scratch_[a];
                ctx.scratch[a] = BufferView{area.data, area.on_device, area.size};
            }
        };
        std::chrono::steady_clock::time_point t0;
        if (profile_enabled) t0 = std::chrono::steady_clock::now();
        uint64_t out_stride = 0;
        Shape3 got{0, 0, 0};
        if (stack) {
            out_stride = byte_count(element_count(one), out_elem);
            grow_output(times_sat(out_stride, samples));
            grow_scratch(*layer, views[0].shape(), false);
            bind_scratch();
            Buffer& ob = buf(out_idx);
            BufferView out{ob.data, ob.on_device, ob.size};
            const Shape3 stacked = layer->forward(views, n, &out, &ctx);
            if (byte_count(element_count(stacked), out_elem) > ob.size) throw too_large();
            if (stacked != all) return false;
            got = one;
        } else {
            // Each sample on views of the stacked tensors; every sample must
            // come out with the same shape for the next node to stack them.
            auto sample_views = [&](int64_t b) {
                for (int j = 0; j < n; ++j) {
                    const Buffer& held = buf(in_idx[j]);
                    const uint64_t off = stride[j] * uint64_t(b);
                    views[j] = TensorView{static_cast<char*>(held.data) + off, held.on_device,
                                          stride[j] ? stride[j] : held.size, shapes[j].c, shapes[j].h, shapes[j].w};
                    data[j] = views[j].data;
                }
            };
            for (int64_t b = 0; b < samples; ++b) {
                sample_views(b);
                const Shape3 want = layer->output_shape_from_data(data, shapes, n);
                if (b == 0) one = want;
                else if (want != one) return false;
            }
            out_stride = byte_count(element_count(one), out_elem);
            grow_output(times_sat(out_stride, samples));
            grow_scratch(*layer, n > 0 ? shapes[0] : Shape3{0, 0, 0}, false);
            bind_scratch();
            Buffer& ob = buf(out_idx);
            for (int64_t b = 0; b < samples; ++b) {
                sample_views(b);
                BufferView out{static_cast<char*>(ob.data) + out_stride * uint64_t(b), ob.on_device, out_stride};
                const Shape3 s = layer->forward(views, n, &out, &ctx);
                if (byte_count(element_count(s), out_elem) > out_stride) throw too_large();
                if (b == 0) got = s;
                else if (s != got) return false;
            }
        }
        shapes_[out_idx] = got;
        strides_[out_idx] = out_stride;
        if (profile_enabled) record_profile(node, t0);
    }

    outs.clear();
    for (int64_t b = 0; b < samples; ++b) {
        OutputMap result;
        for (const std::string& name : g.output_names) {
            auto it = index_.find(name);
            if (it == index_.end()) continue;
            const int idx = it->second;
            result[name] = copy_output(idx, strides_[idx] * uint64_t(b));
        }
        outs.push_back(std::move(result));
    }
    return true;
}

std::vector<OutputMap> GraphExecutor::run_batch(const InputMap& inputs, int64_t batch) {
    std::vector<OutputMap> outs;
    const int64_t group = stack_size(inputs, batch);
    position_ = 0;
    for (int64_t done = 0; done < batch;) {
        const int64_t k = std::min(group, batch - done);
        std::vector<OutputMap> part;
        bool stacked = false;
        if (k >= 2) {
            // A failure of the shared pass (say the memory budget refusing
            // the larger tensors) leaves the samples to run alone, where a
            // real error is raised again as a single pass raises it.
            try {
                stacked = execute_stacked(sample_inputs(inputs, done), k, part);
            } catch (const std::exception&) {
                stacked = false;
            }
        }
        if (stacked) {
            for (OutputMap& o : part) outs.push_back(std::move(o));
        } else {
            for (int64_t b = done; b < done + k; ++b) outs.push_back(run(sample_inputs(inputs, b)));
        }
        done += k;
    }
    return outs;
}

OutputMap GraphExecutor::run(const InputMap& inputs) {
    position_ = 0;
    return execute(inputs, 0, nullptr);
}

OutputMap GraphExecutor::run_step(const InputMap& inputs, bool last_only) {
    int64_t tokens = 0;
    OutputMap out = execute(inputs, position_, &tokens, last_only);
    // A stateful layer has already refused position + tokens > capacity.
    if (tokens > 0) position_ = int32_t(std::min<int64_t>(int64_t(position_) + tokens, INT32_MAX));
    return out;
}

std::vector<ILayer*> GraphExecutor::stateful_layers() const {
    // Each distinct layer once (two nodes of one name share a layer).
    std::vector<ILayer*> out;
    for (ILayer* l : node_layers_)
        if (l && l->is_stateful() && std::find(out.begin(), out.end(), l) == out.end()) out.push_back(l);
    return out;
}

int32_t GraphExecutor::cache_capacity() const {
    if (capacity_ > 0) return capacity_;
    int32_t declared = 0;
    for (ILayer* l : stateful_layers())
        if (auto* d = dynamic_cast<const DeclaresCacheCapacity*>(l))
            declared = std::max(declared, d->declared_cache_capacity());
    return declared > 0 ? declared : kDefaultCacheCapacity;
}

void GraphExecutor::ensure_caches() {
    if (caches_reserved_) return;
    const int32_t cap = cache_capacity();
    for (ILayer* l : stateful_layers()) l->reserve_state(cap, *alloc_);
    capacity_ = cap;
    caches_reserved_ = true;
}

void GraphExecutor::reserve_cache(int32_t capacity) {
    if (capacity < 1)
        throw std::runtime_error("KV cache capacity must be at least 1, got " + std::to_string(capacity));
    // The sequence in progress goes on in the new cache (its rows are kept).
    if (capacity < position_)
        throw std::runtime_error("KV cache capacity " + std::to_string(capacity) +
                                 " is smaller than the current position " + std::to_string(position_) +
                                 "; reserve at least that many or call reset_cache() first");
    // A failure part-way leaves layers with different capacities; the next
    // pass then reserves all of them again with the capacity in force.
    caches_reserved_ = false;
    for (ILayer* l : stateful_layers()) l->reserve_state(capacity, *alloc_);
    capacity_ = capacity;
    caches_reserved_ = true;
}

uint64_t GraphExecutor::tensor_buffer_bytes() const {
    uint64_t n = 0;
    for (const Buffer& b : buffers_) n += b.size;
    return n;
}

}  // namespace vantrel
