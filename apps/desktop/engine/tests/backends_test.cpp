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
        {"/quillet-whisper", ""},
        {"quillet-whisper.exe", "."},
        {"", "."},
        {"/d\xC3\xA9j\xC3\xA0/x", "/d\xC3\xA9j\xC3\xA0"},
    };
    for (auto & c : cases) {
        EXPECT_EQ(directoryOf(c[0]), c[1]) << c[0];
    }
}

// Families by registry-name prefix in any case; ordinals count every GPU-kind
// device, named or not.
TEST(Backends, GpuFamiliesByNamePrefixWithOrdinalsInRegistryOrder) {
    const int    CPU = GGML_BACKEND_DEVICE_TYPE_CPU, GPU = GGML_BACKEND_DEVICE_TYPE_GPU;
    const int    IGPU = GGML_BACKEND_DEVICE_TYPE_IGPU, ACC = GGML_BACKEND_DEVICE_TYPE_ACCEL;
    FakeRegistry r;
    r.devices = {{CPU, "CPU"},  {GPU, "Fakery"}, {IGPU, "Vulkan"}, {ACC, "CUDA"},          {GPU, "CUDA"},
                 {IGPU, "MTL"}, {GPU, nullptr},  {GPU, "vulkan"},  {GPU, "CuDa-anything"}, {GPU, "Metal"},
                 {GPU, "CUD"},  {GPU, "xcuda"},  {GPU, ""},        {GPU, "mtl0"},          {GPU, "VULKAN2"}};
    std::string got;
    for (const GpuDevice & d : listGpuDevices(DeviceRegistry{fakeCount, fakeGet, fakeType, fakeName, &r})) {
        got += std::string(d.name) + "#" + std::to_string(d.gpuOrdinal) + " ";
    }
    EXPECT_EQ(got, "vulkan#1 cuda#2 metal#3 vulkan#5 cuda#6 metal#7 metal#11 vulkan#12 ");
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
        {{"--accelerator", "/a"}, ""},
        {{"--ACCELERATORS", "/a"}, ""},
        {{"x", "--accelerators", "--accelerators", "/b"}, "--accelerators"},
    };
    for (Case & c : cases) {
        c.args.insert(c.args.begin(), "quillet-whisper");
        EXPECT_EQ(parseAcceleratorsOption(c.args), c.dir) << c.dir;
    }
}
