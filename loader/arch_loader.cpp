#include "loader/arch_loader.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <stdexcept>
#include <unordered_set>

#include <sys/stat.h>

#include "loader/json.h"
#include "loader/layer_args.h"
#include "loader/layer_factory.h"
#include "loader/regular_file.h"

namespace vantrel {

std::vector<int> make_input_shape(int h, int w, int c) {
    if (w != 1) return {h, w, c};
    if (h == 1) return {c};
    return {h, c};
}

namespace {

// Closes the file on every path; a failed close is reported, not fatal.
struct File {
    FILE* f;
    std::string path;
    ~File() { close(); }
    void close() {
        if (f && std::fclose(f) != 0)
            std::fprintf(stderr, "Warning: fclose failed for %s: %s\n", path.c_str(), std::strerror(errno));
        f = nullptr;
    }
};

std::string read_file(const std::string& path) {
    OpenResult opened;
    File file{open_regular_file(path, &opened), path};
    // A directory, FIFO or device has no usable size: a read error.
    if (opened == OpenResult::NotRegular) throw std::runtime_error("Read error: " + path);
    if (!file.f) throw std::runtime_error("Cannot open JSON: " + path);
    if (std::fseek(file.f, 0, SEEK_END) != 0) throw std::runtime_error("Read error: " + path);
    long n = std::ftell(file.f);
    // A size query that fails (or a directory) is a read error.
    if (n < 0 || std::fseek(file.f, 0, SEEK_SET) != 0) throw std::runtime_error("Read error: " + path);
    // Real architectures are kilobytes; a huge file is refused before it is
    // read into memory.
    if (uint64_t(n) > kMaxArchFileBytes)
        throw std::runtime_error("arch_loader: " + path + ": the file is " + std::to_string(n) +
                                 " bytes; architecture files are limited to " +
                                 std::to_string(kMaxArchFileBytes) + " bytes");
    std::string text(size_t(n), '\0');
    size_t got = n ? std::fread(&text[0], 1, size_t(n), file.f) : 0;
    if (got != size_t(n) || std::ferror(file.f)) {
        file.close();
        throw std::runtime_error("Read error: " + path);
    }
    file.close();
    return text;
}

[[noreturn]] void format_error(const std::string& path, const std::string& what) {
    throw std::runtime_error("arch_loader: " + path + ": " + what);
}

// Only arrays are containers here; an object in their place is outside the
// format and would otherwise be silently read as empty.
void reject_object(const JsonValue& v, const std::string& path, const std::string& where) {
    if (v.kind == JsonKind::Object) format_error(path, where + " must be an array, not an object");
}

std::string text_or(const JsonValue& obj, const char* key, const char* def) {
    return has(obj, key) ? at(obj, key).text : std::string(def);
}
int32_t int_or(const JsonValue& obj, const char* key, int32_t def) {
    return has(obj, key) ? json_number_to_int32(at(obj, key).number) : def;
}

void read_quant_fields(const JsonValue& obj, InputSpec& spec) {
    spec.scale = has(obj, "scale") ? float(at(obj, "scale").number) : 1.0f;
    spec.zp = int_or(obj, "zp", 0);
    spec.dtype = text_or(obj, "dtype", "int8");
}

InputSpec read_input(const JsonValue& in, size_t index, const std::string& path) {
    InputSpec spec;
    spec.name = text_or(in, "name", "x");
    int h, w, c;
    if (has(in, "shape")) {
        const JsonValue& s = at(in, "shape");
        if (s.kind != JsonKind::Array || s.elements.size() < 4)
            format_error(path, "input " + std::to_string(index) + " ('" + spec.name +
                                   "'): \"shape\" must be an array [N, H, W, C] of four numbers");
        h = json_number_to_int32(s.elements[1].number);
        w = json_number_to_int32(s.elements[2].number);
        c = json_number_to_int32(s.elements[3].number);
    } else {
        h = int_or(in, "h", 1);
        w = int_or(in, "w", 1);
        c = int_or(in, "c", 1);
    }
    spec.shape = make_input_shape(h, w, c);
    read_quant_fields(in, spec);
    return spec;
}

std::vector<std::string> read_names(const JsonValue& node, const char* list_key,
                                    std::initializer_list<const char*> single_keys,
                                    const std::string& path, const std::string& node_name) {
    std::vector<std::string> out;
    if (has(node, list_key)) {
        const JsonValue& list = at(node, list_key);
        reject_object(list, path, "node '" + node_name + "': \"" + list_key + "\"");
        if (list.kind == JsonKind::Array)
            for (const JsonValue& e : list.elements) out.push_back(e.text);
        return out;
    }
    // "in2"/"in3" only follow a present "in".
    bool first = true;
    for (const char* k : single_keys) {
        if (!has(node, k)) {
            if (first) break;
            continue;
        }
        out.push_back(at(node, k).text);
        first = false;
    }
    return out;
}

std::string args_key(int32_t op, const JsonValue& node, bool relu) {
    std::string key = std::to_string(op) + (relu ? " relu" : "");
    const LayerArgs args(op, node);
    for (const LayerArgs::Value& v : args.values()) {
        key += ' ' + v.key + '=';
        switch (v.type) {
            case ArgType::Int: key += std::to_string(v.i); break;
            case ArgType::Float: {
                char exact[32];  // hexadecimal: every float keeps its own text
                std::snprintf(exact, sizeof exact, "%a", double(v.f));
                key += exact;
                break;
            }
            case ArgType::Bool: key += v.b ? "1" : "0"; break;
        }
    }
    return key;
}

}  // namespace

ArchGraph load_arch(const std::string& path) { return load_arch_text(read_file(path), path); }

ArchGraph load_arch_text(const std::string& text, const std::string& path) {
    JsonValue root = parse_json(text);
    // Any other root would read as a model without nodes and "load".
    if (root.kind != JsonKind::Object) format_error(path, "the root must be a JSON object");
    ArchGraph g;
    if (has(root, "model")) g.model_name = at(root, "model").text;

    JsonValue& inputs = get_or_insert(root, "inputs");
    reject_object(inputs, path, "\"inputs\"");
    if (inputs.kind == JsonKind::Array && !inputs.elements.empty()) {
        for (size_t i = 0; i < inputs.elements.size(); ++i)
            g.inputs.push_back(read_input(inputs.elements[i], i, path));
    } else if (has(root, "input")) {
        const JsonValue& in = at(root, "input");
        InputSpec spec;
        spec.shape = make_input_shape(int_or(in, "h", 1), int_or(in, "w", 1), int_or(in, "c", 1));
        read_quant_fields(in, spec);
        g.inputs.push_back(spec);
    }
    if (g.inputs.empty()) g.inputs.push_back(InputSpec{});

    if (has(root, "outputs")) {
        const JsonValue& outs = at(root, "outputs");
        reject_object(outs, path, "\"outputs\"");
        for (const JsonValue& e : outs.elements)
            if (has(e, "name")) g.output_names.push_back(at(e, "name").text);
    }

    JsonValue& nodes = get_or_insert(root, "nodes");
    reject_object(nodes, path, "\"nodes\"");
    g.nodes.resize(nodes.elements.size());
    for (size_t i = 0; i < nodes.elements.size(); ++i) {
        const JsonValue& jn = nodes.elements[i];
        ArchNode& n = g.nodes[i];
        n.name = at(jn, "name").text;
        std::string op_name = at(jn, "op").text;
        n.op = op_code_from_name(op_name);
        if (n.op == OP_UNKNOWN)
            std::fprintf(stderr, "arch_loader: unknown op '%s' in node '%s'\n", op_name.c_str(),
                         n.name.c_str());
        n.inputs = read_names(jn, "inputs", {"in", "in2", "in3"}, path, n.name);
        n.outputs = read_names(jn, "outputs", {"out"}, path, n.name);
        n.relu = false;
        if (has(jn, "relu") && !has(jn, "args")) n.relu = json_flag(at(jn, "relu"));
        if (has(jn, "args")) {
            const JsonValue& args = at(jn, "args");
            if (has(args, "relu")) n.relu = json_flag(at(args, "relu"));
        }
        n.args_key = args_key(n.op, jn, n.relu);
        std::unique_ptr<ILayer> layer = create_layer(n.name, n.op, jn, n.relu);
        if (layer) g.layers.push_back(std::move(layer));
    }

    if (g.output_names.empty() && !g.nodes.empty()) {
        std::unordered_set<std::string> read;
        for (const ArchNode& n : g.nodes)
            for (const std::string& t : n.inputs) read.insert(t);
        for (size_t i = g.nodes.size(); i-- > 0;) {
            for (const std::string& t : g.nodes[i].outputs)
                if (!read.count(t)) g.output_names.push_back(t);
            if (!g.output_names.empty()) break;
        }
        if (g.output_names.empty() && !g.nodes.back().outputs.empty())
            g.output_names.push_back(g.nodes.back().outputs.front());
    }
    return g;
}

}  // namespace vantrel
