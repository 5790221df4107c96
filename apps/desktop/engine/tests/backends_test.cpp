#include "backends.h"
#include "engine_main.h"

#include "ggml-backend.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace quillet;

namespace {

struct FakeDevice {
    int          type;     // a ggml_backend_dev_type
    const char * registry; // its registry's name, or null
};

struct FakeRegistry {
    std::vector<FakeDevice> devices;        // in registry order
    int                     countCalls = 0; // how often the count was asked
};

size_t fakeCount(void * user) {
    ((FakeRegistry *) user)->countCalls++;
    return ((FakeRegistry *) user)->devices.size();
}
void *       fakeGet(void * user, size_t i) { return &((FakeRegistry *) user)->devices[i]; }
int          fakeType(void *, void * dev) { return ((FakeDevice *) dev)->type; }
const char * fakeName(void *, void * dev) { return ((FakeDevice *) dev)->registry; }

} // namespace

TEST(Backends, ExeDirectoryCutsAtTheLastSeparatorOfEitherKind) {
    const char * cases[][2] = {
        {"C:\\Program Files\\Q\\quillet-whisper.exe", "C:\\Program Files\\Q"},
        {"C:\\a/b\\c.exe", "C:\\a/b"},
        {"/quillet-whisper", ""},
        {"quillet-whisper.exe", "."},
        {"", "."},
        {"/d\xC3\xA9j\xC3\xA0/x", "/d\xC3\xA9j\xC3\xA0"},
    };
    for (auto & c : cases) {
        EXPECT_EQ(directoryOf(c[0]), c[1]) << c[0];
    }
}

TEST(Backends, RegistryNamesMapToFamiliesByPrefixInAnyCase) {
    const char * cases[][2] = {
        {"CUDA", "cuda"},    {"cuda0", "cuda"}, {"CuDa-anything", "cuda"}, {"Vulkan", "vulkan"}, {"VULKAN2", "vulkan"},
        {"MTL", "metal"},    {"mtl0", "metal"}, {"Metal", "metal"},        {"CUD", nullptr},     {"xcuda", nullptr},
        {"OpenCL", nullptr}, {"", nullptr},     {nullptr, nullptr},
    };
    for (auto & c : cases) {
        const char * got = gpuFamilyOf(c[0]);
        EXPECT_EQ(std::string(got ? got : "(none)"), std::string(c[1] ? c[1] : "(none)")) << (c[0] ? c[0] : "(null)");
    }
}

TEST(Backends, OrdinalsCountEveryGpuKindDeviceInRegistryOrder) {
    const int    CPU = GGML_BACKEND_DEVICE_TYPE_CPU, GPU = GGML_BACKEND_DEVICE_TYPE_GPU;
    const int    IGPU = GGML_BACKEND_DEVICE_TYPE_IGPU, ACC = GGML_BACKEND_DEVICE_TYPE_ACCEL;
    FakeRegistry r;
    r.devices = {{CPU, "CPU"},  {GPU, "Fakery"}, {IGPU, "Vulkan"}, {ACC, "CUDA"},  {GPU, "CUDA"},
                 {GPU, "cuda"}, {IGPU, "MTL"},   {GPU, nullptr},   {GPU, "vulkan"}};
    std::string got;
    for (const GpuDevice & d : listGpuDevices(DeviceRegistry{fakeCount, fakeGet, fakeType, fakeName, &r})) {
        got += std::string(d.name) + "#" + std::to_string(d.gpuOrdinal) + " ";
    }
    EXPECT_EQ(got, "vulkan#1 cuda#2 cuda#3 metal#4 vulkan#6 ");
    EXPECT_EQ(r.countCalls, (int) r.devices.size() + 1); // the count is asked afresh on every step
}

TEST(Backends, AcceleratorsOption) {
    struct Case {
        std::vector<std::string> args;
        std::string              dir;
    } cases[] = {
        {{}, ""},
        {{"--accelerators", "/a"}, "/a"},
        {{"--accelerators", "/a", "--accelerators", "/b"}, "/b"},
        {{"--accelerators", "/a", "--accelerators"}, "/a"},
        {{"--accelerators"}, ""},
        {{"--accelerator", "/a"}, ""},
        {{"--ACCELERATORS", "/a"}, ""},
        {{"x", "--accelerators", "--accelerators"}, "--accelerators"},
    };
    for (Case & c : cases) {
        c.args.insert(c.args.begin(), "quillet-whisper");
        EXPECT_EQ(parseAcceleratorsOption(c.args), c.dir) << c.dir;
    }
}
