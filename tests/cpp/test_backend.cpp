#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "engine/allocator.h"
#include "engine/backend.h"
#include "engine/cpu_backend/cpu_backend.h"
#include "engine/layer.h"
#include "kernel_test_paths.h"

using namespace vantrel;

namespace {
// Restores the process-wide registry and active backend after a test that
// registers its own backends.
struct RegistryGuard {
    std::vector<const Backend*> saved = backend_registry();
    const Backend* active = active_backend_ptr();
    ~RegistryGuard() {
        backend_registry() = saved;
        set_backend(active->k_name);
    }
};
Backend named(const char* name, int prio) {
    Backend b{};
    b.k_name = name;
    b.k_priority = prio;
    return b;
}
}  // namespace

TEST(Backend, CpuIsRegisteredAndActiveAtLoad) {
    ASSERT_EQ(backend_registry().size(), 1u);
    EXPECT_STREQ(backend_registry()[0]->k_name, "cpu");
    EXPECT_EQ(active_backend(), "cpu");
    const Backend& b = active_backend_or_throw();
    EXPECT_EQ(b.k_priority, 0);
    EXPECT_EQ(b.kind, kBackendHost);
    ASSERT_NE(b.k_get_allocator, nullptr);
    EXPECT_EQ(b.k_get_allocator(), &cpu_allocator());
    EXPECT_FALSE(b.k_get_allocator()->is_device());
}

class SetBackend : public ::testing::TestWithParam<std::pair<const char*, bool>> {};
TEST_P(SetBackend, ExactNameOnly) {
    EXPECT_EQ(set_backend(GetParam().first), GetParam().second);
    EXPECT_EQ(active_backend(), "cpu");
}
INSTANTIATE_TEST_SUITE_P(Names, SetBackend,
                         ::testing::Values(std::make_pair("cpu", true), std::make_pair("CPU", false),
                                           std::make_pair("cuda", false), std::make_pair("metal", false),
                                           std::make_pair("", false), std::make_pair("cpu ", false)));

TEST(Backend, RegistrySortsByPriorityAndKeepsOrderOfEquals) {
    RegistryGuard guard;
    static Backend low = named("low", -5), eq1 = named("eq1", 3), eq2 = named("eq2", 3),
                   high = named("high", 10);
    register_backend(&eq1);
    EXPECT_STREQ(active_backend_ptr()->k_name, "eq1");
    register_backend(&low);
    register_backend(&eq2);
    register_backend(&high);
    std::vector<std::string> order;
    for (const Backend* b : backend_registry()) order.push_back(b->k_name);
    EXPECT_EQ(order, (std::vector<std::string>{"high", "eq1", "eq2", "cpu", "low"}));
    EXPECT_EQ(active_backend(), "high");
    EXPECT_TRUE(set_backend("eq2"));
    EXPECT_EQ(active_backend(), "eq2");
    EXPECT_FALSE(set_backend("nope"));
    EXPECT_EQ(active_backend(), "eq2");
}

TEST(Backend, KernelSlotsAreNamedInTableOrder) {
    EXPECT_STREQ(kernel_slot_name(3), "k_pack_s8");
    EXPECT_STREQ(kernel_slot_name(23), "k_layer_norm_f32");
    EXPECT_STREQ(kernel_slot_name(48), "k_embedding_f32");
    EXPECT_STREQ(kernel_slot_name(60), "k_causal_attention_f32");
    EXPECT_EQ(kernel_slot_name(2), nullptr);
    EXPECT_EQ(kernel_slot_name(KernelSlot::end), nullptr);
    // Slot accessor reads the same field the named member does.
    Backend b{};
    b.k_add_f32 = [](const float*, const float*, float*, int32_t, bool, void*) {};
    EXPECT_EQ(kernel_slot(b, 30), reinterpret_cast<const void*>(b.k_add_f32));
    for (int s = kFirstKernelSlot; s < KernelSlot::end; ++s)
        if (s != 30) {
            EXPECT_EQ(kernel_slot(b, s), nullptr) << s;
        }
}

// Whatever the path, the CPU leaves exactly these slots empty (the layers
// that could use them compute on the host).
TEST(Backend, CpuEmptySlotsAreTheSameOnEveryPath) {
    const std::vector<int> empty = {18, 19, 20, 22, 43, 52, 53, 54, 55, 56};
    for (KernelPath p : {KernelPath::Portable, KernelPath::Avx2, KernelPath::Avx512, KernelPath::Neon}) {
        if (!kernel_path_supported(p)) continue;
        vantrel_test::ScopedKernelPath on(p);
        for (int s = kFirstKernelSlot; s < kFirstKernelSlot + kKernelSlots; ++s) {
            const bool want_empty = std::find(empty.begin(), empty.end(), s) != empty.end();
            EXPECT_EQ(kernel_slot(cpu_backend(), s) == nullptr, want_empty)
                << kernel_path_name(p) << " " << kernel_slot_name(s);
        }
    }
}

TEST(Backend, NoActiveBackendErrorText) {
    RegistryGuard guard;
    backend_registry().clear();
    // Only the registry is cleared; the active pointer still names cpu.
    EXPECT_EQ(active_backend(), "cpu");
    EXPECT_FALSE(set_backend("cpu"));
    EXPECT_STREQ(kNoBackendMessage, "No backend registered. Did you link cpu_backend (or another backend)?");
}

namespace {
// Counts deallocations so ownership transfer can be checked.
struct CountingAllocator final : Allocator {
    int frees = 0;
    bool fail = false;
    bool is_device() const override { return false; }
    void* allocate(size_t n) override { return fail ? nullptr : ::operator new(n ? n : 1); }
    void deallocate(void* p) override {
        ++frees;
        ::operator delete(p);
    }
    void copy_to_device(void*, const void*, size_t) override {}
    void copy_to_host(void*, const void*, size_t) override {}
    void copy_device(void*, const void*, size_t) override {}
    void synchronize() override {}
    void fill_zero(void*, size_t) override {}
};
}  // namespace

TEST(Buffer, MoveReleasesTargetOnceAndEmptiesSource) {
    CountingAllocator a;
    {
        Buffer x = a.make_buffer(64);
        Buffer y = a.make_buffer(32);
        EXPECT_EQ(x.size, 64u);
        EXPECT_EQ(x.on_device, 0);
        void* xd = x.data;
        y = std::move(x);
        EXPECT_EQ(a.frees, 1);
        EXPECT_EQ(y.data, xd);
        EXPECT_EQ(y.size, 64u);
        EXPECT_EQ(x.data, nullptr);
        EXPECT_EQ(x.size, 0u);
        EXPECT_FALSE(bool(x.deleter));
        Buffer z(std::move(y));
        EXPECT_EQ(z.data, xd);
        EXPECT_EQ(y.data, nullptr);
        EXPECT_EQ(a.frees, 1);
    }
    EXPECT_EQ(a.frees, 2);
    { Buffer empty; }
    EXPECT_EQ(a.frees, 2);
}

TEST(Buffer, FailedAllocationThrows) {
    CountingAllocator a;
    a.fail = true;
    EXPECT_THROW(a.make_buffer(128), std::runtime_error);
    Buffer zero = a.make_buffer(0);
    EXPECT_EQ(zero.data, nullptr);
    EXPECT_EQ(zero.size, 0u);
    // malloc cannot satisfy this; the buffer must not be handed out null.
    EXPECT_THROW(cpu_allocator().make_buffer(size_t(1) << 62), std::runtime_error);
}

TEST(Buffer, CpuAllocatorCopiesAndZeroes) {
    CpuAllocator& a = cpu_allocator();
    Buffer b = a.make_buffer(16);
    const char src[16] = "0123456789abcde";
    a.copy_to_device(b.data, src, 16);
    char back[16];
    a.copy_to_host(back, b.data, 16);
    EXPECT_EQ(std::string(back, 15), "0123456789abcde");
    a.fill_zero(b.data, 16);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(static_cast<char*>(b.data)[i], 0);
    EXPECT_NE(&cpu_allocator(), &host_staging_allocator());
}

namespace {
struct EchoLayer final : ILayer {
    Shape3 forward(const TensorView*, int, const BufferView*, ExecContext*) override { return {}; }
    int dtype() const override { return 0; }
    Shape3 output_shape(Shape3 in) const override { return Shape3{in.c + 1, in.h, in.w}; }
};
}  // namespace

TEST(Layer, DefaultShapeOperationsAndDeviceKind) {
    EchoLayer l;
    Shape3 in[2] = {{3, 4, 5}, {9, 9, 9}};
    EXPECT_EQ(l.output_shape_multi(in, 2), (Shape3{4, 4, 5}));
    EXPECT_EQ(l.output_shape_multi(in, 0), (Shape3{1, 0, 0}));
    EXPECT_EQ(l.output_shape_from_data(nullptr, in, 1), (Shape3{4, 4, 5}));
    EXPECT_EQ(l.output_shape_from_data(nullptr, in, 0), (Shape3{0, 0, 0}));
    EXPECT_EQ(l.device_kind(), kBackendHost);
    EXPECT_FALSE(l.is_stateful());
    ScratchRequest req;
    req.need(2, 100);
    req.need(2, 50);
    EXPECT_EQ(req.bytes[2], 100u);
    EXPECT_EQ(element_count(Shape3{-3, 4, 5}), 0);
    EXPECT_EQ(element_count(Shape3{65536, 65536, 2}), int64_t(1) << 33);
}
