// The Python module model_inference.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/typing.h>

#include <cctype>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/backend.h"
#include "engine/memory_budget.h"
#include "kernels/kernel_path.h"
#include "loader/inference_model.h"
#include "loader/op_registry.h"

namespace py = pybind11;

// Anything numpy can turn into an array (numpy scalars, lists), except a
// dict, which belongs to the multi-input overload. Shown as numpy.ndarray.
struct ArrayLike {
    py::object obj;
};
namespace pybind11 {
namespace detail {
template <>
struct type_caster<ArrayLike> {
    PYBIND11_TYPE_CASTER(ArrayLike, const_name("numpy.ndarray"));
    bool load(handle src, bool) {
        if (!src || PyDict_Check(src.ptr())) return false;
        value.obj = reinterpret_borrow<object>(src);
        return true;
    }
};
}  // namespace detail
}  // namespace pybind11

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

constexpr const char* kModelDoc = R"(Generic graph-based inference model.

Loads a JSON architecture file and a W1X1 binary weights file,
then exposes a ``forward()`` method for running inference.

Example (single input, float32 model)::

    import numpy as np, model_inference as mi
    model = mi.InferenceModel('model_defs/resnet50_fp32_arch.json',
                              'weights/resnet50_fp32.bin')
    x = np.zeros((224, 224, 3), dtype=np.float32)
    logits = model.forward(x)

Example (multi-input)::

    outputs = model.forward({'x1': arr1, 'x2': arr2})
    y1 = outputs['y1'])";


// 'a', 'b', 'c' — input names as messages list them.
std::string quoted_names(const std::vector<std::string>& names) {
    std::string s;
    for (const std::string& n : names) s += (s.empty() ? "'" : ", '") + n + "'";
    return s;
}

std::string join_dims(const std::vector<int>& dims) {
    std::string s;
    for (size_t i = 0; i < dims.size(); ++i) s += (i ? "," : "") + std::to_string(dims[i]);
    return s;
}

// Logical shape of an input: the declared one, or with a 0 present, one
// derived from the element count alone.
std::vector<int> choose_shape(const std::vector<int>& spec, int64_t n) {
    bool variable = false;
    for (int d : spec) variable = variable || d == 0;
    if (!variable) return spec;
    int64_t c = spec.back();
    int64_t wd = spec.size() >= 3 ? spec[1] : 1;
    int64_t w = std::max<int64_t>(wd, 1);
    int64_t h = c * w != 0 ? n / (c * w) : 0;
    if (h > INT32_MAX) throw std::runtime_error("Input array is too large for its declared shape.");
    if (wd > 1) return {int(h), int(w), int(c)};
    if (h > 1) return {int(h), int(c)};
    return {int(c)};
}

// The executor copies product(shape) elements; a smaller array would be
// read past its end.
void require_elements(const std::string& name, const std::vector<int>& shape, int64_t n) {
    int64_t need = 1;
    for (int d : shape) need *= d < 0 ? 0 : d;
    if (n < need)
        throw std::runtime_error("Input array for '" + name + "' has " + std::to_string(n) +
                                 " elements; shape [" + join_dims(shape) + "] needs " + std::to_string(need) + ".");
}

std::string dims_text(const std::vector<int64_t>& dims) {
    std::string s = "(";
    for (size_t i = 0; i < dims.size(); ++i) s += (i ? ", " : "") + std::to_string(dims[i]);
    return s + (dims.size() == 1 ? ",)" : ")");
}

std::string declared_text(const std::vector<int>& spec, bool batch) {
    std::string s = batch ? "(N" : "[";
    for (size_t i = 0; i < spec.size(); ++i) s += (i || batch ? ", " : "") + std::to_string(spec[i]);
    return s + (batch ? ")" : "]");
}

// Matches dims[j..] against spec[i..]: a declared length equals the
// array's, a 0 takes any length (or none, meaning 1), and axes of length 1
// on either side may be left out. The first match found (axes paired in
// order first) fills `out` with the declared shape, its 0s resolved.
bool match_dims(const std::vector<int>& spec, const std::vector<int64_t>& dims, size_t i, size_t j,
                std::vector<int>& out) {
    if (i == spec.size() && j == dims.size()) return true;
    if (i < spec.size()) {
        if (j < dims.size() && dims[j] >= 1 && dims[j] <= INT32_MAX && (spec[i] == 0 || dims[j] == spec[i])) {
            out[i] = int(dims[j]);
            if (match_dims(spec, dims, i + 1, j + 1, out)) return true;
        }
        if (spec[i] == 0 || spec[i] == 1) {
            out[i] = 1;
            if (match_dims(spec, dims, i + 1, j, out)) return true;
        }
    }
    return j < dims.size() && dims[j] == 1 && match_dims(spec, dims, i, j + 1, out);
}

// The executor's shape for one sample whose array dimensions are `dims`:
// the declared shape (see match_dims), or a flat array (at most one axis
// longer than 1) of exactly the elements that shape holds (with a 0
// present, a whole number of the other dimensions, as choose_shape derives
// them).
bool sample_shape(const std::vector<int>& spec, const std::vector<int64_t>& dims, std::vector<int>& out) {
    std::vector<int> resolved(spec.size(), 0);
    if (match_dims(spec, dims, 0, 0, resolved)) {
        out = resolved;
        return true;
    }
    int64_t n = 1, long_axes = 0;
    for (int64_t d : dims) {
        long_axes += d != 1;
        n = d == 1 ? n : d;
    }
    if (dims.empty() || long_axes > 1) return false;
    std::vector<int> shape = choose_shape(spec, n);
    int64_t holds = 1;
    for (int d : shape) holds *= d < 0 ? 0 : d;
    if (holds != n || n == 0) return false;
    out = shape;
    return true;
}

// How an array reads against a declared input: as one sample, as a batch of
// `batch` samples along its first axis, or both (the caller decides).
struct Fit {
    std::vector<int64_t> dims;
    bool single = false, batched = false;
    std::vector<int> single_shape, sample;
    int64_t batch = 0;
};

Fit fit_input(const std::vector<int>& spec, const py::array& a) {
    Fit f;
    for (py::ssize_t i = 0; i < a.ndim(); ++i) f.dims.push_back(int64_t(a.shape(i)));
    // A declared shape no array can have is passed on for the executor to
    // refuse.
    for (int d : spec)
        if (d < 0) {
            f.single = true;
            f.single_shape = spec;
            return f;
        }
    f.single = sample_shape(spec, f.dims, f.single_shape);
    if (f.dims.size() >= 2) {
        std::vector<int64_t> rest(f.dims.begin() + 1, f.dims.end());
        f.batched = sample_shape(spec, rest, f.sample);
        f.batch = f.dims[0];
    }
    return f;
}

[[noreturn]] void shape_mismatch(const std::string& name, const std::vector<int>& spec, const Fit& f) {
    // A flat array too short for the declared shape keeps its old message.
    if (f.dims.size() == 1) require_elements(name, choose_shape(spec, f.dims[0]), f.dims[0]);
    bool variable = false;
    for (int d : spec) variable = variable || d == 0;
    throw std::runtime_error("input '" + name + "' has shape " + dims_text(f.dims) +
                             ", which is neither its declared shape " + declared_text(spec, false) +
                             " nor a batch " + declared_text(spec, true) + " of it" +
                             (variable ? " (0: any length)" : ""));
}

// The caller's array as the element type the model's nodes read for input
// `name`: float32 inputs take float, integer and boolean arrays (cast); int8
// inputs take integer arrays within -128..127 and float arrays, which are
// quantised with the input's scale and zero point as vantrel.quantize does.
// numpy does the conversion, so a failure says what numpy says.
py::array convert_input(const vantrel::InferenceModel& m, const vantrel::InputSpec& spec,
                        const py::array& input, std::string& dtype) {
    py::module_ np = py::module_::import("numpy");
    const char kind = input.dtype().kind();
    const std::string given = py::str(input.dtype());
    const bool int8 = m.input_read_dtype(spec.name) == vantrel::kDtypeInt8;
    dtype = int8 ? "int8" : "float32";
    if (kind != 'f' && kind != 'i' && kind != 'u' && kind != 'b')
        throw py::type_error("input '" + spec.name + "' takes a numeric array (" + dtype + "), not dtype '" +
                             given + "'");
    try {
        if (!int8) return np.attr("ascontiguousarray")(input, py::arg("dtype") = "float32");
        if (kind == 'f') {
            py::object x = np.attr("asarray")(input, py::arg("dtype") = "float64");
            if (!np.attr("isfinite")(x).attr("all")().cast<bool>())
                throw std::runtime_error("input '" + spec.name + "' holds NaN or infinite values, which int8 "
                                         "cannot represent");
            py::object q = np.attr("round")(x / py::float_(double(spec.scale))) + py::int_(spec.zp);
            return np.attr("ascontiguousarray")(np.attr("clip")(q, -128, 127), py::arg("dtype") = "int8");
        }
        if (input.size() > 0 && (np.attr("min")(input).cast<int64_t>() < -128 ||
                                 np.attr("max")(input).cast<int64_t>() > 127))
            throw std::runtime_error("input '" + spec.name + "' is int8, but the " + given +
                                     " array holds values outside -128..127");
        return np.attr("ascontiguousarray")(input, py::arg("dtype") = "int8");
    } catch (py::error_already_set& e) {
        throw std::runtime_error("input '" + spec.name + "': cannot convert the " + given + " array to " + dtype +
                                 ": " + e.what());
    }
}

// Results are float32; int8 tensors are widened value by value. A float
// tensor's bytes become the array's memory: a large output is then copied
// once, out of the engine, not again into fresh pages here.
py::array_t<float> to_flat_array(vantrel::OutputTensor& t) {
    int64_t count = 1;
    for (int d : t.shape) count *= d < 0 ? 0 : d;
    size_t elem = t.dtype == "int8" ? 1 : 4;
    count = std::min<int64_t>(count, int64_t(t.bytes.size() / elem));
    if (elem == 4 && count > 0) {
        auto held = std::make_unique<vantrel::OutputBytes>(std::move(t.bytes));
        const float* data = reinterpret_cast<const float*>(held->data());
        py::capsule owner(held.get(), [](void* p) { delete static_cast<vantrel::OutputBytes*>(p); });
        held.release();
        t.data = nullptr;
        return py::array_t<float>({py::ssize_t(count)}, {py::ssize_t(4)}, data, owner);
    }
    py::array_t<float> out{py::ssize_t(count)};
    float* dst = out.mutable_data();
    if (elem == 1) {
        const int8_t* src = reinterpret_cast<const int8_t*>(t.bytes.data());
        for (int64_t i = 0; i < count; ++i) dst[i] = float(src[i]);
    } else if (count) {
        std::memcpy(dst, t.bytes.data(), size_t(count) * 4);
    }
    return out;
}

// The bound model: the engine model plus the lock that serialises its use
// from several Python threads (the engine itself is not reentrant).
struct LockedModel : vantrel::InferenceModel {
    LockedModel(const std::string& arch, const std::string& weights, uint64_t memory_limit);
    ~LockedModel();
    mutable std::mutex lock;
};

// Models whose constructor has completed. An object made by
// InferenceModel.__new__ without __init__ reaches the methods as raw,
// unconstructed memory; only its address can be asked about safely.
std::mutex live_models_lock;
std::unordered_set<const LockedModel*> live_models;

LockedModel::LockedModel(const std::string& arch, const std::string& weights, uint64_t memory_limit)
    : vantrel::InferenceModel(arch, weights, memory_limit) {
    std::lock_guard<std::mutex> hold(live_models_lock);
    live_models.insert(this);
}

LockedModel::~LockedModel() {
    std::lock_guard<std::mutex> hold(live_models_lock);
    live_models.erase(this);
}

void require_live(const LockedModel& m) {
    std::lock_guard<std::mutex> hold(live_models_lock);
    if (!live_models.count(&m))
        throw py::type_error("InferenceModel is not initialised: create it with "
                             "InferenceModel(arch_path, weights_path)");
}

// Runs `f` (which must not touch Python objects) with the model's lock held
// and the interpreter lock released. The interpreter lock is always given up
// before waiting for the model's lock, so a thread that holds the model's
// lock never waits on a thread that holds the interpreter lock.
template <class F>
auto with_model_lock(const LockedModel& m, F&& f) -> decltype(f()) {
    py::gil_scoped_release nogil;
    std::lock_guard<std::mutex> hold(m.lock);
    return f();
}

const vantrel::InputSpec& first_input(const vantrel::InferenceModel& m) {
    if (m.graph().inputs.empty()) throw std::runtime_error("Model has no declared inputs.");
    return m.graph().inputs.front();
}

// The last position's values of a channels-last output (its last
// shape.back() elements); outputs of one position stay whole.
void keep_last_position(vantrel::OutputTensor& t) {
    if (t.shape.size() < 2) return;
    const int64_t c = std::max(t.shape.back(), 0);
    const size_t elem = t.dtype == "int8" ? 1 : 4;
    const size_t keep = size_t(c) * elem;
    if (t.bytes.size() >= keep) t.bytes.erase(t.bytes.begin(), t.bytes.end() - int64_t(keep));
    t.shape = {int(c)};
}

// Names come from file bytes that need not be UTF-8; undecodable bytes come
// back backslash-escaped instead of raising UnicodeDecodeError.
py::str text(const std::string& s) {
    PyObject* o = PyUnicode_DecodeUTF8(s.data(), Py_ssize_t(s.size()), "backslashreplace");
    if (!o) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(o);
}

py::list texts(const std::vector<std::string>& v) {
    py::list out;
    for (const auto& s : v) out.append(text(s));
    return out;
}

// One declared input of a call: the converted array and how it reads.
struct Feed {
    const vantrel::InputSpec* spec;
    py::array arr;
    std::string dtype;
    Fit fit;
};

bool op_is(const vantrel::ArchNode& n, std::initializer_list<vantrel::OpCode> ops) {
    for (vantrel::OpCode op : ops)
        if (n.op == op) return true;
    return false;
}

// Token ids of different lengths reach a batch only padded; without a mask
// the padding would be attended to, so such a batch needs the model's mask
// input (a declared input that attention nodes read second).
void check_token_batch(const vantrel::InferenceModel& m, const std::vector<Feed>& feeds, int64_t batch) {
    if (batch < 2) return;
    const auto& g = m.graph();
    auto declared = [&](const std::string& t) {
        for (const auto& s : g.inputs)
            if (s.name == t) return true;
        return false;
    };
    for (const auto& n : g.nodes)
        if (op_is(n, {vantrel::OP_ATTENTION_FP32, vantrel::OP_ATTENTION_INT8}) && n.inputs.size() >= 2 &&
            declared(n.inputs[1]))
            return;
    for (const Feed& f : feeds)
        for (const auto& n : g.nodes)
            if (op_is(n, {vantrel::OP_EMBEDDING_FP32, vantrel::OP_BERT_EMBEDDINGS_FP32}) && !n.inputs.empty() &&
                n.inputs[0] == f.spec->name)
                throw std::runtime_error(
                    "input '" + f.spec->name + "' is a batch of " + std::to_string(batch) +
                    " token sequences, but this model has no attention mask input, so padding would be "
                    "attended to: pass the sequences one at a time, or use a model converted with an "
                    "'attention_mask' input and pass {'" + f.spec->name + "': ids, 'attention_mask': mask} "
                    "(mask 1 for tokens, 0 for padding) by dict");
}

// One sample (0) or the batch size every feed shares. An array that reads
// both ways is one sample unless another feed is only a batch. Batches of
// one beside feeds that are only one sample are that one sample.
int64_t choose_batch(std::vector<Feed>& feeds) {
    const Feed* lead = nullptr;
    bool all_one = true, single_only = false;
    for (const Feed& f : feeds) {
        if (!f.fit.single && f.fit.batched && !lead) lead = &f;
        if (!f.fit.single && f.fit.batched) all_one = all_one && f.fit.batch == 1;
        single_only = single_only || (f.fit.single && !(f.fit.batched && f.fit.batch == 1));
    }
    if (lead && all_one && single_only) {
        for (Feed& f : feeds)
            if (!f.fit.single) {
                f.fit.single = true;
                f.fit.single_shape = f.fit.sample;
            }
        lead = nullptr;
    }
    for (Feed& f : feeds) {
        if (!lead) {
            if (!f.fit.single) shape_mismatch(f.spec->name, f.spec->shape, f.fit);
            continue;
        }
        if (!f.fit.batched && !f.fit.single) shape_mismatch(f.spec->name, f.spec->shape, f.fit);
        if (!f.fit.batched || f.fit.batch != lead->fit.batch)
            throw std::runtime_error("input '" + lead->spec->name + "' is a batch of " +
                                     std::to_string(lead->fit.batch) + " samples, but input '" + f.spec->name +
                                     "' of shape " + dims_text(f.fit.dims) + " is not a batch " +
                                     declared_text(f.spec->shape, true) + " with N = " +
                                     std::to_string(lead->fit.batch) + "; pass every input as a batch of N");
    }
    if (lead && lead->fit.batch == 0)
        throw std::runtime_error("input '" + lead->spec->name + "' is an empty batch (N = 0)");
    return lead ? lead->fit.batch : 0;
}

// Runs the call's one sample, or the samples of a batch (together where the
// executor can stack them), with the interpreter lock released. `extra`
// holds inputs passed as they are; `last_only` lets a step compute only what
// its last position needs.
std::vector<vantrel::OutputMap> run_samples(LockedModel& m, const std::vector<Feed>& feeds,
                                            const vantrel::InputMap& extra, int64_t batch, bool step,
                                            bool last_only = false) {
    vantrel::InputMap map = extra;
    std::vector<int64_t> stride(feeds.size(), 0);
    std::vector<const char*> base(feeds.size());
    std::vector<vantrel::InputTensor*> slot(feeds.size());
    for (size_t i = 0; i < feeds.size(); ++i) {
        const Feed& f = feeds[i];
        vantrel::InputTensor t;
        t.dtype = f.dtype;
        t.shape = batch ? f.fit.sample : f.fit.single_shape;
        t.data = f.arr.data();
        if (batch) stride[i] = int64_t(f.arr.nbytes()) / batch;
        base[i] = static_cast<const char*>(f.arr.data());
        map[f.spec->name] = std::move(t);
    }
    for (size_t i = 0; i < feeds.size(); ++i) slot[i] = &map[feeds[i].spec->name];
    if (step && batch > 1)
        throw std::runtime_error("forward_step continues one sequence; pass one sample, not a batch of " +
                                 std::to_string(batch));
    return with_model_lock(m, [&] {
        // A batch of whole passes shares them where the executor can.
        if (!step && batch > 1) return m.executor().run_batch(map, batch);
        std::vector<vantrel::OutputMap> outs;
        for (int64_t b = 0; b < std::max<int64_t>(batch, 1); ++b) {
            for (size_t i = 0; i < feeds.size(); ++i) slot[i]->data = base[i] + b * stride[i];
            outs.push_back(step ? m.run_step(map, last_only) : m.run(map));
        }
        return outs;
    });
}

// Output `name` of every sample as one (N, K) array.
py::array_t<float> stack_samples(std::vector<vantrel::OutputMap>& outs, const std::string& name,
                                 bool last_only) {
    std::vector<py::array_t<float>> rows;
    for (auto& o : outs) {
        auto it = o.find(name);
        if (it == o.end()) {
            rows.emplace_back(0);
            continue;
        }
        if (last_only) keep_last_position(it->second);
        rows.push_back(to_flat_array(it->second));
    }
    const py::ssize_t n = py::ssize_t(rows.size()), k = rows.empty() ? 0 : rows[0].size();
    for (const auto& r : rows)
        if (r.size() != k)
            throw std::runtime_error("output '" + name + "' has " + std::to_string(k) + " values for sample 0 but " +
                                     std::to_string(r.size()) + " for another sample of the batch; pass the "
                                     "samples one at a time");
    py::array_t<float> out({n, k});
    for (py::ssize_t i = 0; i < n; ++i)
        if (k) std::memcpy(out.mutable_data(i, 0), rows[size_t(i)].data(), size_t(k) * sizeof(float));
    return out;
}

// `step`: run at the model's sequence position and advance it (forward_step);
// `last_only`: return only the last position of each output.
py::array_t<float> run_array(LockedModel& m, const ArrayLike& like, bool step, bool last_only = false) {
    require_live(m);
    py::array input = py::module_::import("numpy").attr("asarray")(like.obj);
    if (input.ndim() == 0) throw std::runtime_error("Input array must have at least 1 dimension.");
    const vantrel::InputSpec& spec = first_input(m);
    // The other inputs would silently keep the previous call's data.
    if (m.graph().inputs.size() > 1) {
        std::vector<std::string> all;
        for (const auto& s : m.graph().inputs) all.push_back(s.name);
        const std::string names = quoted_names(all);
        throw std::runtime_error("this model has " + std::to_string(m.graph().inputs.size()) + " inputs (" + names +
                                 "); pass them all by name in a dict");
    }
    std::vector<Feed> feeds(1);
    feeds[0].spec = &spec;
    feeds[0].arr = convert_input(m, spec, input, feeds[0].dtype);
    feeds[0].fit = fit_input(spec.shape, feeds[0].arr);
    const int64_t batch = choose_batch(feeds);
    check_token_batch(m, feeds, batch);
    std::vector<vantrel::OutputMap> outs = run_samples(m, feeds, {}, batch, step, last_only);
    const auto& names = m.graph().output_names;
    if (batch) return stack_samples(outs, names.empty() ? std::string() : names.front(), last_only);
    if (names.empty()) return py::array_t<float>(0);
    auto it = outs[0].find(names.front());
    if (it == outs[0].end()) return py::array_t<float>(0);
    if (last_only) keep_last_position(it->second);
    return to_flat_array(it->second);
}

using ArrayDict = py::typing::Dict<py::str, py::array>;
using ResultDict = py::typing::Dict<py::str, py::array_t<float>>;

ResultDict run_dict(LockedModel& m, const ArrayDict& inputs, bool step, bool last_only = false) {
    require_live(m);
    // Keyed by the name as Python sees it (see text()), so an input whose
    // name is not UTF-8 can still be fed under its escaped name.
    std::unordered_map<std::string, const vantrel::InputSpec*> declared;
    for (const auto& s : m.graph().inputs) declared[py::cast<std::string>(text(s.name))] = &s;
    std::vector<Feed> feeds;
    std::vector<py::array> held;
    vantrel::InputMap undeclared;
    for (auto item : inputs) {
        std::string name = py::cast<std::string>(item.first);
        auto d = declared.find(name);
        py::array arr = py::module_::import("numpy").attr("asarray")(item.second);
        if (d != declared.end()) {
            Feed f;
            f.spec = d->second;
            f.arr = convert_input(m, *d->second, arr, f.dtype);
            f.fit = fit_input(d->second->shape, f.arr);
            feeds.push_back(std::move(f));
            continue;
        }
        // Refused by the executor with the declared names; only the shape is
        // needed for that.
        vantrel::InputTensor t;
        for (py::ssize_t i = 0; i < arr.ndim(); ++i) t.shape.push_back(int(arr.shape(i)));
        require_elements(name, t.shape, int64_t(arr.size()));
        t.data = arr.data();
        held.push_back(arr);
        undeclared[name] = std::move(t);
    }
    // A declared input left out would silently keep the previous call's
    // data. (Undeclared names are the executor's error, reported first.)
    if (undeclared.empty()) {
        std::vector<std::string> absent;
        for (const auto& s : m.graph().inputs) {
            bool given = false;
            for (const Feed& f : feeds) given = given || f.spec == &s;
            if (!given) absent.push_back(s.name);
        }
        const std::string missing = quoted_names(absent);
        if (!missing.empty())
            throw std::runtime_error("every declared input must be passed; missing: " + missing);
    }
    int64_t batch = 0;
    if (undeclared.empty()) {
        batch = choose_batch(feeds);
        check_token_batch(m, feeds, batch);
    } else {
        for (Feed& f : feeds) f.fit.single_shape = f.fit.single ? f.fit.single_shape : f.fit.sample;
    }
    std::vector<vantrel::OutputMap> outs = run_samples(m, feeds, undeclared, batch, step, last_only);
    ResultDict result;
    if (batch) {
        for (auto& kv : outs[0]) result[text(kv.first)] = stack_samples(outs, kv.first, last_only);
        return result;
    }
    for (auto& kv : outs[0]) {
        if (last_only) keep_last_position(kv.second);
        result[text(kv.first)] = to_flat_array(kv.second);
    }
    return result;
}

py::array_t<float> forward_array(LockedModel& m, const ArrayLike& like) {
    return run_array(m, like, false);
}
ResultDict forward_dict(LockedModel& m, const ArrayDict& inputs) { return run_dict(m, inputs, false); }
py::array_t<float> forward_step_array(LockedModel& m, const ArrayLike& like, bool last_only) {
    return run_array(m, like, true, last_only);
}
ResultDict forward_step_dict(LockedModel& m, const ArrayDict& inputs, bool last_only) {
    return run_dict(m, inputs, true, last_only);
}

int num_classes(const std::string& model_name) {
    std::string lower = model_name;
    for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
    for (const char* key : {"resnet", "mobilenet", "vit"})
        if (lower.find(key) != std::string::npos) return 1000;
    return 0;
}

template <class Map>
py::dict to_dict(const Map& m) {
    py::dict d;
    for (const auto& kv : m) d[text(kv.first)] = py::float_(kv.second);
    return d;
}

// The op registry as Python data: what ModelBuilder checks nodes against
// and what the README's op table is compared with.
py::dict op_schema() {
    auto dtype_name = [](int t) { return t == vantrel::kDtypeInt8 ? "int8" : "float32"; };
    py::dict ops;
    for (int32_t code = 1; code <= vantrel::kOpCount; ++code) {
        const vantrel::OpInfo& op = *vantrel::op_info(code);
        py::dict args;
        for (const vantrel::ArgSpec& a : op.args) {
            py::dict spec;
            switch (a.type) {
                case vantrel::ArgType::Int: spec["type"] = "int"; spec["default"] = py::int_(int32_t(a.def)); break;
                case vantrel::ArgType::Float: spec["type"] = "float"; spec["default"] = py::float_(a.def); break;
                case vantrel::ArgType::Bool: spec["type"] = "bool"; spec["default"] = py::bool_(a.def != 0); break;
            }
            if (a.optional) spec["optional"] = true;
            args[a.key] = spec;
        }
        py::list aliases;
        for (const vantrel::OpAlias& al : vantrel::op_aliases())
            if (al.code == code) aliases.append(al.name);
        py::dict entry;
        entry["code"] = code;
        entry["aliases"] = aliases;
        entry["input_dtype"] = dtype_name(op.input_dtype);
        entry["output_dtype"] = dtype_name(op.output_dtype);
        entry["args"] = args;
        ops[op.name] = entry;
    }
    return ops;
}

}  // namespace

PYBIND11_MODULE(model_inference, m) {
    check_interpreter_version();
    m.doc() = kModuleDoc;
    // Engine messages quote file bytes (JSON characters, node names) that
    // need not be UTF-8; undecodable bytes are escaped so the error still
    // reaches Python as RuntimeError instead of UnicodeDecodeError.
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const py::builtin_exception&) {
            throw;
        } catch (const std::runtime_error& e) {
            const char* what = e.what();
            PyObject* text = PyUnicode_DecodeUTF8(what, Py_ssize_t(std::strlen(what)), "backslashreplace");
            if (!text) return;  // the decode error is already set
            PyErr_SetObject(PyExc_RuntimeError, text);
            Py_DECREF(text);
        }
    });

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
    m.def("_op_schema", &op_schema,
          "Every op the engine knows: name -> {code, aliases, input_dtype, output_dtype, args}, where\n"
          "args maps each argument key to {type: 'int'|'float'|'bool', default} (plus optional: True\n"
          "for a key beyond the op's fixed argument table).");

    py::class_<vantrel::InputSpec>(m, "InputSpec",
                                   "Descriptor for one model input (shape, dtype, and quantization params).")
        .def_property_readonly("name", [](const vantrel::InputSpec& s) { return text(s.name); },
                               "ModelIOTensor name in the arch graph.")
        .def_readonly("shape", &vantrel::InputSpec::shape,
                      "Input shape in NHWC order, e.g. [224,224,3] or [80] for flat. 0 in a dimension means "
                      "variable (supplied at runtime).")
        .def_readonly("scale", &vantrel::InputSpec::scale, "INT8 quantization scale.")
        .def_readonly("zp", &vantrel::InputSpec::zp, "INT8 zero point.")
        .def_readonly("dtype", &vantrel::InputSpec::dtype, "'int8' or 'float32'.")
        .def("__repr__", [](const vantrel::InputSpec& s) {
            return text("<InputSpec name='" + s.name + "' shape=[" + join_dims(s.shape) + "] dtype=" + s.dtype + ">");
        });

    using Model = LockedModel;
    py::class_<Model>(m, "InferenceModel", kModelDoc)
        .def(py::init([](const std::string& arch, const std::string& weights, py::object memory_limit) {
                 uint64_t limit = 0;  // the default
                 if (!memory_limit.is_none()) {
                     if (py::isinstance<py::str>(memory_limit))
                         limit = vantrel::parse_memory_limit(py::cast<std::string>(memory_limit), "memory_limit");
                     else if (py::isinstance<py::int_>(memory_limit) && !py::isinstance<py::bool_>(memory_limit) &&
                              py::cast<py::int_>(memory_limit) > py::int_(0))
                         limit = py::cast<uint64_t>(memory_limit);
                     else
                         throw py::value_error("memory_limit must be a positive number of bytes or a text "
                                               "such as '512M' or '8G'");
                 }
                 std::unique_ptr<Model> model;
                 {
                     py::gil_scoped_release nogil;  // loading touches no Python object
                     model = std::make_unique<Model>(arch, weights, limit);
                 }
                 model->set_profile_enabled(true);
                 return model;
             }),
             py::arg("arch_path"), py::arg("weights_path"), py::kw_only(), py::arg("memory_limit") = py::none(),
             "Load model from a JSON arch file and a W1X1 binary weights file.\n\n"
             "Raises RuntimeError if either file cannot be opened.")
        .def("forward", &forward_array, py::arg("input"),
             "Run a single-input forward pass.\n\nArgs:\n"
             "    input: numpy array (float32 for FP32 models, int8 for INT8 models).\n"
             "           Shape is inferred from the arch spec; flat 1-D arrays are accepted.\n\n"
             "Returns:\n    1-D float32 numpy array (e.g. class logits).")
        .def("forward", &forward_dict, py::arg("inputs"),
             "Run a multi-input / multi-output forward pass.\n\nArgs:\n"
             "    inputs: dict mapping tensor name \u2192 numpy array (float32).\n\n"
             "Returns:\n    dict mapping output tensor name \u2192 1-D float32 numpy array.")
        .def_property_readonly("model_name", [](const Model& mo) {
            require_live(mo); return text(mo.graph().model_name); },
                               "Model name string from the arch JSON.")
        .def_property_readonly("input_count", [](const Model& mo) {
            require_live(mo); return int(mo.graph().inputs.size()); },
                               "Number of declared model inputs.")
        .def_property_readonly("inputs", [](const Model& mo) {
            require_live(mo); return mo.graph().inputs; },
                               "List of InputSpec descriptors (one per model input).")
        .def_property_readonly("output_names", [](const Model& mo) {
            require_live(mo); return texts(mo.graph().output_names); },
                               "List of declared output tensor names.")
        .def_property_readonly("is_fp32", [](const Model& mo) {
            require_live(mo); return first_input(mo).dtype == "float32"; },
                               "True when the first declared input is float32.")
        .def_property_readonly("input_h", [](const Model& mo) {
            require_live(mo);
            const auto& s = first_input(mo).shape;
            return s.size() >= 1 ? s[0] : 1;
        }, "First input height in NHWC layout.")
        .def_property_readonly("input_w", [](const Model& mo) {
            require_live(mo);
            const auto& s = first_input(mo).shape;
            return s.size() >= 2 ? s[1] : 1;
        }, "First input width in NHWC layout.")
        .def_property_readonly("input_c", [](const Model& mo) {
            require_live(mo);
            const auto& s = first_input(mo).shape;
            return s.size() >= 3 ? s[2] : 1;
        }, "First input channel count in NHWC layout.")
        .def_property_readonly("num_classes", [](const Model& mo) {
            require_live(mo); return num_classes(mo.graph().model_name); },
                               "Classifier class-count hint. Returns 1000 for ImageNet classifier models, otherwise 0.")
        .def("op_profile", [](const Model& mo) {
            require_live(mo); return to_dict(with_model_lock(mo, [&] { return mo.op_profile(); })); },
             "Return per-op accumulated timing as dict[str, float] (milliseconds).")
        .def("layer_profile", [](const Model& mo) {
            require_live(mo); return to_dict(with_model_lock(mo, [&] { return mo.layer_profile(); })); },
             "Return per-layer accumulated timing as dict[str, float] (milliseconds).")
        .def("set_profile_enabled", [](Model& mo, bool on) {
            require_live(mo); with_model_lock(mo, [&] { mo.set_profile_enabled(on); }); }, py::arg("enabled"),
             "Enable or disable per-op and per-layer profiling.")
        .def_property_readonly("profile_enabled", [](const Model& mo) {
            require_live(mo); return with_model_lock(mo, [&] { return mo.profile_enabled(); }); }, "True when profiling is enabled.")
        .def("set_speed", [](Model& mo, float v) {
            require_live(mo); with_model_lock(mo, [&] { mo.set_speed(v); }); }, py::arg("speed"),
             "Set TTS duration speed. 1.0 is normal, larger is faster, smaller is slower.")
        .def_property_readonly("speed", [](const Model& mo) {
            require_live(mo); return with_model_lock(mo, [&] { return mo.speed(); }); }, "Current TTS duration speed.")
        .def("reset_profile", [](Model& mo) {
            require_live(mo); with_model_lock(mo, [&] { mo.reset_profile(); }); }, "Clear accumulated profiling timings.")
        .def("forward_step", &forward_step_array, py::arg("input"), py::kw_only(),
             py::arg("last_only") = false,
             "Run one decoding step with a single input.\n\n"
             "Like forward(input), but the causal attention layers attend to the\n"
             "tokens cached by earlier steps: the step's tokens go to positions\n"
             "position .. position + T - 1, then position advances by T (the\n"
             "tokens of the step). forward() and reset_cache() start a new\n"
             "sequence. Raises RuntimeError when position + T exceeds\n"
             "cache_capacity; the position is then unchanged. With last_only\n"
             "the result holds only the last position's values (for a prompt:\n"
             "the logits that pick the next token), and the nodes that work\n"
             "row by row after the last other node (a decoder's final norm and\n"
             "head) run for that position alone. A batch of more than one\n"
             "sample is refused.")
        .def("forward_step", &forward_step_dict, py::arg("inputs"), py::kw_only(),
             py::arg("last_only") = false,
             "Run one decoding step with inputs by name.\n\n"
             "Like forward(inputs), at the current position, which then advances\n"
             "by the step's tokens (see forward_step(input)); last_only keeps\n"
             "only the last position of each output.")
        .def("reset_cache", [](Model& mo) {
            require_live(mo); with_model_lock(mo, [&] { mo.reset_cache(); }); },
             "Start a new sequence: position back to 0 (the cache memory is kept).")
        .def("reserve_cache", [](Model& mo, int32_t n) {
            require_live(mo); with_model_lock(mo, [&] { mo.reserve_cache(n); }); }, py::arg("capacity"),
             "Reserve the key/value cache of every causal attention layer for\n"
             "`capacity` positions (at least 1). The sequence in progress keeps\n"
             "its position and cached tokens; a capacity below the position\n"
             "raises RuntimeError (call reset_cache() first).\n\n"
             "Without it the capacity is the largest 'max_seq_len' a causal node\n"
             "declares, or 2048.")
        .def_property_readonly("position", [](const Model& mo) {
            require_live(mo); return with_model_lock(mo, [&] { return mo.position(); }); },
                               "Tokens already in the key/value cache: the position of the next forward_step.")
        .def_property_readonly("cache_capacity", [](const Model& mo) {
            require_live(mo); return with_model_lock(mo, [&] { return mo.cache_capacity(); }); },
                               "Positions the key/value cache holds (reserved before the first pass).")
        .def_property_readonly("memory_limit", [](const Model& mo) {
            require_live(mo);
            return mo.memory_limit();
        }, "Bytes of tensors, scratch and caches this model may hold (the constructor's memory_limit, "
           "else VANTREL_MEMORY_LIMIT, else a quarter of physical memory).")
        .def("load_stats", [](const Model& mo) {
            require_live(mo);
            const auto& s = mo.load_stats();
            py::dict d;
            d["peak_tensor_bytes"] = s.peak_tensor_bytes;
            d["packed_blocks"] = s.packed_blocks;
            d["shared_packed_blocks"] = s.shared_packed_blocks;
            d["shared_packed_bytes"] = s.shared_packed_bytes;
            return d;
        }, "Weight-loading statistics as dict[str, int]: the largest raw tensor read "
           "(peak_tensor_bytes), packed weight blocks built (packed_blocks), how many of "
           "them reused an identical block of the same load (shared_packed_blocks) and the "
           "bytes that saved (shared_packed_bytes).")
        .def("__repr__", [](const Model& mo) {
            require_live(mo);
            const auto& in = mo.graph().inputs;
            return text("<InferenceModel name='" + mo.graph().model_name + "' input=[" +
                        (in.empty() ? std::string() : join_dims(in.front().shape)) + "]>");
        });
}
