// Structure-aware mutation of fuzz_model inputs. Byte-level mutation of the
// architecture JSON mostly produces files the parser or the graph checks
// refuse; these mutations keep the file well formed and change what a model
// means instead: a node's op (with arguments drawn from the op registry), an
// argument value, a node's inputs, input shapes, nodes added or removed.
#pragma once
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "loader/json.h"
#include "loader/op_registry.h"

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t max_size);

namespace fuzz {

inline void write_json(const vantrel::JsonValue& v, std::string& out) {
    using vantrel::JsonKind;
    switch (v.kind) {
        case JsonKind::Null: out += "null"; break;
        case JsonKind::Bool: out += v.boolean ? "true" : "false"; break;
        case JsonKind::Number: {
            char buf[40];
            if (std::isnan(v.number)) std::snprintf(buf, sizeof buf, "0");
            else if (std::isinf(v.number)) std::snprintf(buf, sizeof buf, v.number > 0 ? "1e999" : "-1e999");
            else std::snprintf(buf, sizeof buf, "%.17g", v.number);
            out += buf;
            break;
        }
        case JsonKind::String:
            out += '"';
            for (char c : v.text) {
                if (c == '"' || c == '\\') out += '\\';
                if (static_cast<unsigned char>(c) < 0x20) c = ' ';
                out += c;
            }
            out += '"';
            break;
        case JsonKind::Array:
            out += '[';
            for (size_t i = 0; i < v.elements.size(); ++i) {
                if (i) out += ',';
                write_json(v.elements[i], out);
            }
            out += ']';
            break;
        case JsonKind::Object: {
            out += '{';
            bool first = true;
            if (v.members)
                for (const auto& kv : *v.members) {
                    if (!first) out += ',';
                    first = false;
                    vantrel::JsonValue key;
                    key.kind = JsonKind::String;
                    key.text = kv.first;
                    write_json(key, out);
                    out += ':';
                    write_json(kv.second, out);
                }
            out += '}';
            break;
        }
    }
}

inline vantrel::JsonValue json_number(double d) {
    vantrel::JsonValue v;
    v.kind = vantrel::JsonKind::Number;
    v.number = d;
    return v;
}

inline vantrel::JsonValue json_text(const std::string& s) {
    vantrel::JsonValue v;
    v.kind = vantrel::JsonKind::String;
    v.text = s;
    return v;
}

class ModelMutator {
public:
    explicit ModelMutator(unsigned seed) : rng_(seed) {}

    // Mutates the architecture in place; false when it is not an object
    // with a node list (the caller falls back to byte mutation).
    bool mutate(vantrel::JsonValue& root) {
        using vantrel::JsonKind;
        if (root.kind != JsonKind::Object || !vantrel::has(root, "nodes")) return false;
        vantrel::JsonValue& nodes = vantrel::get_or_insert(root, "nodes");
        if (nodes.kind != JsonKind::Array) return false;
        const int what = pick(6);
        if (nodes.elements.empty() || what == 0) return add_node(root, nodes);
        vantrel::JsonValue& node = nodes.elements[size_t(pick(int(nodes.elements.size())))];
        if (node.kind != JsonKind::Object) return false;
        switch (what) {
            case 1: return retype(node);
            case 2: return tweak_arg(node);
            case 3: return rewire(root, nodes, node);
            case 4: return reshape_input(root);
            default:
                nodes.elements.erase(nodes.elements.begin() + pick(int(nodes.elements.size())));
                return true;
        }
    }

private:
    int pick(int n) { return n > 0 ? int(rng_() % unsigned(n)) : 0; }

    double value_for(const vantrel::ArgSpec& s) {
        switch (pick(4)) {
            case 0: return s.def;
            case 1: return s.type == vantrel::ArgType::Float ? (pick(2000) - 1000) / 100.0 : pick(10) - 1;
            case 2: return s.def + pick(5) - 2;
            default: return pick(65);
        }
    }

    bool retype(vantrel::JsonValue& node) {
        const vantrel::OpInfo* info = vantrel::op_info(1 + pick(vantrel::kOpCount));
        if (!info) return false;
        vantrel::get_or_insert(node, "op") = json_text(info->name);
        vantrel::JsonValue& args = vantrel::get_or_insert(node, "args");
        args = vantrel::JsonValue();
        args.kind = vantrel::JsonKind::Object;
        args.members.reset(new std::unordered_map<std::string, vantrel::JsonValue>());
        for (const vantrel::ArgSpec& s : info->args) (*args.members)[s.key] = json_number(value_for(s));
        return true;
    }

    bool tweak_arg(vantrel::JsonValue& node) {
        if (!vantrel::has(node, "op")) return false;
        const int32_t code = vantrel::op_code_from_name(vantrel::at(node, "op").text);
        const vantrel::OpInfo* info = vantrel::op_info(code);
        if (!info || info->args.empty()) return retype(node);
        const vantrel::ArgSpec& s = info->args[size_t(pick(int(info->args.size())))];
        vantrel::JsonValue& args = vantrel::get_or_insert(node, "args");
        if (args.kind != vantrel::JsonKind::Object) return false;
        vantrel::get_or_insert(args, s.key) = json_number(value_for(s));
        return true;
    }

    // Tensor names a node at `index` may read: declared inputs and earlier
    // outputs (and now and then any name, to keep the checks exercised).
    std::vector<std::string> readable(const vantrel::JsonValue& root, const vantrel::JsonValue& nodes,
                                      size_t index) {
        std::vector<std::string> names;
        if (vantrel::has(root, "inputs"))
            for (const vantrel::JsonValue& in : vantrel::at(root, "inputs").elements)
                if (vantrel::has(in, "name")) names.push_back(vantrel::at(in, "name").text);
        for (size_t i = 0; i < index && i < nodes.elements.size(); ++i)
            if (vantrel::has(nodes.elements[i], "outputs"))
                for (const vantrel::JsonValue& o : vantrel::at(nodes.elements[i], "outputs").elements)
                    names.push_back(o.text);
        if (names.empty() || pick(16) == 0) names.push_back("t" + std::to_string(pick(8)));
        return names;
    }

    bool rewire(const vantrel::JsonValue& root, const vantrel::JsonValue& nodes, vantrel::JsonValue& node) {
        size_t index = 0;
        while (index < nodes.elements.size() && &nodes.elements[index] != &node) ++index;
        std::vector<std::string> names = readable(root, nodes, index);
        vantrel::JsonValue& ins = vantrel::get_or_insert(node, "inputs");
        ins = vantrel::JsonValue();
        ins.kind = vantrel::JsonKind::Array;
        const int count = 1 + pick(3);
        for (int i = 0; i < count; ++i) ins.elements.push_back(json_text(names[size_t(pick(int(names.size())))]));
        return true;
    }

    bool add_node(vantrel::JsonValue& root, vantrel::JsonValue& nodes) {
        vantrel::JsonValue node;
        node.kind = vantrel::JsonKind::Object;
        node.members.reset(new std::unordered_map<std::string, vantrel::JsonValue>());
        const std::string id = "m" + std::to_string(nodes.elements.size()) + "_" + std::to_string(pick(1000));
        (*node.members)["name"] = json_text(id);
        vantrel::JsonValue outs;
        outs.kind = vantrel::JsonKind::Array;
        outs.elements.push_back(json_text(id + ".out"));
        (*node.members)["outputs"] = outs;
        retype(node);
        nodes.elements.push_back(std::move(node));
        rewire(root, nodes, nodes.elements.back());
        // The new tensor becomes the model's output now and then.
        if (pick(2) == 0) {
            vantrel::JsonValue& outputs = vantrel::get_or_insert(root, "outputs");
            outputs = vantrel::JsonValue();
            outputs.kind = vantrel::JsonKind::Array;
            vantrel::JsonValue o;
            o.kind = vantrel::JsonKind::Object;
            o.members.reset(new std::unordered_map<std::string, vantrel::JsonValue>());
            (*o.members)["name"] = json_text(id + ".out");
            outputs.elements.push_back(std::move(o));
        }
        return true;
    }

    bool reshape_input(vantrel::JsonValue& root) {
        if (!vantrel::has(root, "inputs")) return false;
        vantrel::JsonValue& ins = vantrel::get_or_insert(root, "inputs");
        if (ins.kind != vantrel::JsonKind::Array || ins.elements.empty()) return false;
        vantrel::JsonValue& in = ins.elements[size_t(pick(int(ins.elements.size())))];
        if (in.kind != vantrel::JsonKind::Object) return false;
        vantrel::JsonValue shape;
        shape.kind = vantrel::JsonKind::Array;
        shape.elements.push_back(json_number(1));
        for (int i = 0; i < 3; ++i) shape.elements.push_back(json_number(pick(4) == 0 ? 0 : 1 + pick(16)));
        vantrel::get_or_insert(in, "shape") = std::move(shape);
        return true;
    }

    std::mt19937 rng_;
};

// The custom mutator of fuzz_model: input = 4-byte length L, L bytes of
// architecture JSON, then the weights file. Three in four mutations are
// structural when the JSON parses; the rest (and any that cannot apply) are
// libFuzzer's byte mutations of the whole input.
inline size_t mutate_model_input(uint8_t* data, size_t size, size_t max_size, unsigned seed) {
    if (size >= 4 && seed % 4 != 0) {
        size_t len = size_t(data[0]) | size_t(data[1]) << 8 | size_t(data[2]) << 16 | size_t(data[3]) << 24;
        if (len > size - 4) len = size - 4;
        try {
            vantrel::JsonValue root = vantrel::parse_json(std::string(reinterpret_cast<char*>(data + 4), len));
            ModelMutator m(seed);
            if (m.mutate(root)) {
                std::string arch;
                write_json(root, arch);
                const std::string weights(reinterpret_cast<char*>(data + 4 + len), size - 4 - len);
                if (4 + arch.size() + weights.size() <= max_size) {
                    const uint32_t n = uint32_t(arch.size());
                    const uint8_t head[4] = {uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24)};
                    std::memcpy(data, head, 4);
                    std::memcpy(data + 4, arch.data(), arch.size());
                    std::memcpy(data + 4 + arch.size(), weights.data(), weights.size());
                    return 4 + arch.size() + weights.size();
                }
            }
        } catch (const std::exception&) {
        }
    }
    return LLVMFuzzerMutate(data, size, max_size);
}

}  // namespace fuzz
