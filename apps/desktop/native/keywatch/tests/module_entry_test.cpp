// The entry points the host looks up by name; Node-API symbols stay unresolved, so only the version entry runs.
#include <gtest/gtest.h>

#include <dlfcn.h>

TEST(ModuleEntry, ExportsBothEntryPointsAndApiVersion8) {
    void * module = dlopen(KEYWATCH_MODULE_PATH, RTLD_LAZY | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    auto version = reinterpret_cast<int32_t (*)()>(dlsym(module, "node_api_module_get_api_version_v1"));
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(version(), 8);
    EXPECT_NE(dlsym(module, "napi_register_module_v1"), nullptr);
    dlclose(module);
}
