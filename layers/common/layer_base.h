// Bases for the shapes most layer classes share, so that a class declares
// only what is its own: its output element type, whether the output keeps
// the input's shape, and where it runs.
#pragma once
#include <string>

#include "engine/layer.h"

namespace vantrel {

// A layer whose output element type is fixed by its class. The node name is
// set before the derived constructor's body runs, so its argument checks can
// name the node.
template <int Dtype>
class TypedLayer : public ILayer {
public:
    TypedLayer() = default;
    explicit TypedLayer(const std::string& node_name) { name = node_name; }
    int dtype() const override { return Dtype; }
};
using Fp32Layer = TypedLayer<kDtypeFp32>;
using Int8Layer = TypedLayer<kDtypeInt8>;

// The output has the first input's shape (element-wise and normalisation
// layers).
template <class Base>
class ShapeKeeping : public Base {
public:
    using Base::Base;
    Shape3 output_shape(Shape3 input) const override { return input; }
};

// Several inputs, and the output has input 0's shape (binary element-wise
// layers whose second operand is broadcast or matched by count).
template <class Base>
class FirstInputShape : public ShapeKeeping<Base> {
public:
    using ShapeKeeping<Base>::ShapeKeeping;
    Shape3 output_shape_multi(const Shape3* inputs, int count) const override {
        return count <= 0 ? Shape3{0, 0, 0} : inputs[0];
    }
};

// Runs on the host whatever the active backend; the executor stages its
// tensors in host memory around forward.
template <class Base>
class HostOnly : public Base {
public:
    using Base::Base;
    BackendKind device_kind() const override { return kBackendHost; }
};

// Kinds 1 and 2 cannot run it (the executor stages to the host); every
// other kind runs it where it is.
template <class Base>
class HostOnKinds1And2 : public Base {
public:
    using Base::Base;
    BackendKind device_kind() const override {
        const BackendKind k = active_backend_or_throw().kind;
        return (k == 1 || k == 2) ? kBackendHost : k;
    }
};

}  // namespace vantrel
