#include "accelerator_pack.h"
#include "backends.h"
#include "engine_main.h"

#include "ggml-backend.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

using namespace quillet;

namespace {

struct FakeDevice {
    int          type;
    const char * registry;
};

struct FakeRegistry {
    std::vector<FakeDevice> devices;
    int                     countCalls = 0;
};

size_t fakeCount(void * user) {
    FakeRegistry * r = (FakeRegistry *) user;
    r->countCalls++;
    return r->devices.size();
}
void * fakeGet(void * user, size_t i) { return &((FakeRegistry *) user)->devices[i]; }
int fakeType(void *, void * dev) { return ((FakeDevice *) dev)->type; }
const char * fakeName(void *, void * dev) { return ((FakeDevice *) dev)->registry; }

DeviceRegistry seam(FakeRegistry & r) {
    return DeviceRegistry{fakeCount, fakeGet, fakeType, fakeName, &r};
}

const int CPU  = GGML_BACKEND_DEVICE_TYPE_CPU;
const int GPU  = GGML_BACKEND_DEVICE_TYPE_GPU;
const int IGPU = GGML_BACKEND_DEVICE_TYPE_IGPU;
const int ACC  = GGML_BACKEND_DEVICE_TYPE_ACCEL;

std::string describe(const std::vector<GpuDevice> & list) {
    std::string s;
    for (const GpuDevice & d : list) s += std::string(d.name) + "#" + std::to_string(d.gpuOrdinal) + " ";
    return s;
}

} // namespace

TEST(ExeDirectory, CutsAtTheLastSeparatorOfEitherKind) {
    EXPECT_EQ(directoryOf("/opt/app/quillet-whisper"), "/opt/app");
    EXPECT_EQ(directoryOf("C:\\Program Files\\Q\\quillet-whisper.exe"), "C:\\Program Files\\Q");
    EXPECT_EQ(directoryOf("C:\\a/b\\c.exe"), "C:\\a/b");
    EXPECT_EQ(directoryOf("/quillet-whisper"), "");
    EXPECT_EQ(directoryOf("quillet-whisper.exe"), ".");
    EXPECT_EQ(directoryOf(""), ".");
    EXPECT_EQ(directoryOf("/d\xC3\xA9j\xC3\xA0/x"), "/d\xC3\xA9j\xC3\xA0");
    // The running test binary's own folder is a real directory.
    std::string self = exeDirectory();
    EXPECT_NE(self, ".");
    EXPECT_NE(self.find("/"), std::string::npos);
}

TEST(GpuDevices, RegistryNamesMapByPrefixInAnyCase) {
    EXPECT_STREQ(gpuFamilyOf("CUDA"), "cuda");
    EXPECT_STREQ(gpuFamilyOf("cuda0"), "cuda");
    EXPECT_STREQ(gpuFamilyOf("CuDa-anything"), "cuda");
    EXPECT_STREQ(gpuFamilyOf("Vulkan"), "vulkan");
    EXPECT_STREQ(gpuFamilyOf("VULKAN2"), "vulkan");
    EXPECT_STREQ(gpuFamilyOf("MTL"), "metal");
    EXPECT_STREQ(gpuFamilyOf("mtl0"), "metal");
    EXPECT_STREQ(gpuFamilyOf("Metal"), "metal");
    EXPECT_EQ(gpuFamilyOf("CUD"), nullptr);
    EXPECT_EQ(gpuFamilyOf("xcuda"), nullptr);
    EXPECT_EQ(gpuFamilyOf("OpenCL"), nullptr);
    EXPECT_EQ(gpuFamilyOf(""), nullptr);
    EXPECT_EQ(gpuFamilyOf(nullptr), nullptr);
}

TEST(GpuDevices, OrdinalsCountEveryGpuKindDeviceInRegistryOrder) {
    FakeRegistry r;
    r.devices = {{CPU, "CPU"},       {GPU, "Fakery"}, {IGPU, "Vulkan"}, {ACC, "CUDA"},
                 {GPU, "CUDA"},      {GPU, "cuda"},   {IGPU, "MTL"},    {GPU, nullptr}, {GPU, "vulkan"}};
    std::vector<GpuDevice> list = listGpuDevices(seam(r));
    EXPECT_EQ(describe(list), "vulkan#1 cuda#2 cuda#3 metal#4 vulkan#6 ");
    // The count is asked afresh on every step.
    EXPECT_EQ(r.countCalls, (int) r.devices.size() + 1);
}

TEST(GpuDevices, CpuOnlyRegistryGivesAnEmptyListAndCpuHello) {
    FakeRegistry r;
    r.devices = {{CPU, "CPU"}, {ACC, "BLAS"}};
    std::vector<GpuDevice> list = listGpuDevices(seam(r));
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(helloBackendList(list), "\"cpu\"");
    EXPECT_EQ(helloLine(helloBackendList(list)),
              "{\"type\":\"hello\",\"version\":2,\"whisper\":\"v1.9.5+d1be6fd\",\"backends\":[\"cpu\"]}");
}

TEST(GpuDevices, HelloOrderIsFixedWhateverTheDiscoveryOrder) {
    FakeRegistry r;
    r.devices = {{GPU, "CUDA"}, {GPU, "CUDA"}, {GPU, "Vulkan"}, {GPU, "Metal"}};
    EXPECT_EQ(helloBackendList(listGpuDevices(seam(r))), "\"metal\",\"vulkan\",\"cuda\",\"cpu\"");
    r.devices = {{GPU, "CUDA"}, {IGPU, "vulkan"}};
    EXPECT_EQ(helloBackendList(listGpuDevices(seam(r))), "\"vulkan\",\"cuda\",\"cpu\"");
}

TEST(GpuDevices, TestSwitchNeedsExactlyOne) {
    struct Case {
        const char * value;
        bool         on;
    } cases[] = {{"1", true}, {"true", false}, {"01", false}, {"1 ", false}, {"", false}, {nullptr, false}};
    for (const Case & c : cases) {
        if (c.value) {
            setenv("QUILLET_WHISPER_TEST_FAIL_GPU", c.value, 1);
        } else {
            unsetenv("QUILLET_WHISPER_TEST_FAIL_GPU");
        }
        EXPECT_EQ(gpuFailureSimulated(), c.on) << (c.value ? c.value : "(unset)");
    }
    setenv("QUILLET_WHISPER_TEST_FAIL_GPU", "1", 1);
    GpuDevice d{"cuda", 0, nullptr};
    EXPECT_FALSE(probeDevice(d)); // fails before touching the device
    unsetenv("QUILLET_WHISPER_TEST_FAIL_GPU");
}

TEST(CommandLine, AcceleratorsOption) {
    auto parse = [](std::vector<std::string> args) {
        args.insert(args.begin(), "quillet-whisper");
        return parseAcceleratorsOption(args);
    };
    EXPECT_EQ(parse({}), "");
    EXPECT_EQ(parse({"--accelerators", "/a"}), "/a");
    EXPECT_EQ(parse({"--accelerators", "/a", "--accelerators", "/b"}), "/b");
    EXPECT_EQ(parse({"--accelerators", "/a", "--accelerators"}), "/a");
    EXPECT_EQ(parse({"--accelerators"}), "");
    EXPECT_EQ(parse({"--accelerator", "/a"}), "");
    EXPECT_EQ(parse({"--ACCELERATORS", "/a"}), "");
    EXPECT_EQ(parse({"x", "--accelerators", "--accelerators"}), "--accelerators");
}
