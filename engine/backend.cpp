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
#define VANTREL_KERNEL_SLOT(type, name) #name,
#include "engine/kernel_slots.def"
#undef VANTREL_KERNEL_SLOT
};

template <class Fn>
const void* as_pointer(Fn fn) {
    const void* p = nullptr;
    std::memcpy(&p, &fn, sizeof(void*));
    return p;
}
}  // namespace

const char* kernel_slot_name(int slot) {
    if (slot < kFirstKernelSlot || slot >= kFirstKernelSlot + kKernelSlots) return nullptr;
    return kSlotNames[slot - kFirstKernelSlot];
}

const void* kernel_slot(const Backend& b, int slot) {
    switch (slot) {
#define VANTREL_KERNEL_SLOT(type, name) \
    case KernelSlot::name: return as_pointer(b.name);
#include "engine/kernel_slots.def"
#undef VANTREL_KERNEL_SLOT
        default: return nullptr;
    }
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
