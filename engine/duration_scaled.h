// Layers whose output length follows a duration scale (length regulation)
// expose it so that the model's speed setting can reach them.
#pragma once

namespace vantrel {

class DurationScaled {
public:
    virtual void set_duration_scale(float factor) = 0;
    virtual ~DurationScaled() = default;
};

}  // namespace vantrel
