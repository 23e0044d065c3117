// Loading a plug-in module and driving its entry.
#include "host.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

constexpr Int32 kTypeId = 1999001;  // registered by the test plug-in

struct Calls {
    Int32 action[8];
    Int32 lastVersion;
    Int32 objectsAlive;
};

/// The test plug-in's call counters (the module must be loaded).
const Calls* pluginCalls() {
    void* handle = dlopen(TEST_PLUGIN_PATH, RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) return nullptr;
    auto get = reinterpret_cast<const Calls* (*)()>(dlsym(handle, "testPluginCalls"));
    dlclose(handle);
    return get ? get() : nullptr;
}

void writeFile(const std::filesystem::path& p, const std::string& text) {
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
}

/// A plug-in folder with strings, a description and a 16 x 8 icon.
class PluginLoading : public ::testing::Test {
protected:
    void SetUp() override {
        folder = std::filesystem::temp_directory_path() /
                 ("drhost_plugin_" + std::to_string(::getpid()) + "_" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        writeFile(folder / "res/strings.json", R"({ "1000": "Counter", "1001": "unused" })");
        writeFile(folder / "res/description/tpCounter.json", R"({ "parameters": [
            { "id": 1000, "name": "COUNTER_SCALE", "type": "float", "default": 2.5, "meaning": "a scale" },
            { "id": 1001, "name": "COUNTER_TARGET", "type": "link", "accepts": [5156], "meaning": "a mesh" },
            { "id": 1002, "name": "COUNTER_OFFSET", "type": "vector", "default": [0, 1, 0] } ] })");
        const unsigned char png[24] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I', 'H', 'D', 'R',
                                       0,    0,   0,   16,  0,    0,    0,    8};
        writeFile(folder / "res/drapeon.png", std::string(reinterpret_cast<const char*>(png), sizeof png));
        HostTakeErrors();
    }
    void TearDown() override { std::filesystem::remove_all(folder); }

    std::filesystem::path folder;
};

}  // namespace

TEST_F(PluginLoading, DrivesTheEntryAndRegistersTheType) {
    {
        PluginHost host;
        ASSERT_TRUE(host.LoadModule(TEST_PLUGIN_PATH, folder.string())) << ::testing::PrintToString(host.GetErrors());
        const Calls* calls = pluginCalls();
        ASSERT_NE(calls, nullptr);
        EXPECT_EQ(calls->action[1], 1);
        EXPECT_EQ(calls->action[6], 1);
        EXPECT_EQ(calls->action[2], 1);
        EXPECT_EQ(calls->lastVersion, 20017);

        const RegisteredType* t = PluginRegistry::Find(kTypeId);
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(t->name.GetStd(), "Counter");  // loaded by message 1 before action 2
        EXPECT_EQ(t->info, OBJECT_MODIFIER);
        EXPECT_TRUE(t->iconLoaded);
        EXPECT_EQ(t->iconWidth, 16);
        EXPECT_EQ(t->iconHeight, 8);

        const Description* d = Description::ForName("tpCounter");
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(Description::ForType(kTypeId), d);
        ASSERT_NE(d->Find("COUNTER_TARGET"), nullptr);
        EXPECT_EQ(d->Find("COUNTER_TARGET")->id, 1001);
        EXPECT_TRUE(d->Find(1001)->Accepts(Opolygon));
        EXPECT_FALSE(d->Find(1001)->Accepts(Tpointselection));
        EXPECT_EQ(d->Find(1002)->defaultValue.GetVector(), Vector(0, 1, 0));
        EXPECT_EQ(d->Find(1000)->type, DescValueType::FLOAT);

        // Objects of the type get their data object, Init and, on Free, deletion.
        BaseObject* op = BaseObject::Alloc(kTypeId);
        ASSERT_NE(op, nullptr);
        EXPECT_EQ(op->GetDataInstance()->GetFloat(1000), 2.5);
        EXPECT_EQ(calls->objectsAlive, 1);
        BaseObject::Free(op);
        EXPECT_EQ(calls->objectsAlive, 0);
        EXPECT_EQ(BaseObject::Alloc(4242), nullptr);

        host.Shutdown();
        EXPECT_EQ(host.GetModuleCount(), 0);
    }
    EXPECT_EQ(PluginRegistry::Find(kTypeId), nullptr);
    EXPECT_TRUE(GeLoadString(1000).IsEmpty());
}

TEST_F(PluginLoading, OldInterfaceVersionIsRefusedAndReported) {
    PluginHost host;
    host.SetInterfaceVersion(20016);
    EXPECT_FALSE(host.LoadModule(TEST_PLUGIN_PATH, folder.string()));
    EXPECT_EQ(host.GetModuleCount(), 0);
    ASSERT_EQ(host.GetErrors().size(), 1u);
    const std::string& e = host.GetErrors()[0];
    EXPECT_NE(e.find(TEST_PLUGIN_PATH), std::string::npos) << e;
    EXPECT_NE(e.find("-3"), std::string::npos) << e;
    EXPECT_NE(e.find("20016"), std::string::npos) << e;
    EXPECT_EQ(PluginRegistry::Find(kTypeId), nullptr);
}

TEST_F(PluginLoading, RefusedRegistrationFailsTheStart) {
    PluginHost host;
    PluginRegistry::RefuseRegistration(1);
    EXPECT_FALSE(host.LoadModule(TEST_PLUGIN_PATH, folder.string()));
    PluginRegistry::RefuseRegistration(0);
    EXPECT_EQ(PluginRegistry::Find(kTypeId), nullptr);
    ASSERT_FALSE(host.GetErrors().empty());
    EXPECT_NE(host.GetErrors().back().find("action 2 returned 0"), std::string::npos) << host.GetErrors().back();
    // The module stays loaded until shutdown.
    EXPECT_EQ(host.GetModuleCount(), 1);
    ASSERT_NE(pluginCalls(), nullptr);
    host.Shutdown();
    EXPECT_EQ(pluginCalls(), nullptr);  // unloaded
}

TEST_F(PluginLoading, FolderWithoutPluginsOrMissingIsAnError) {
    PluginHost host;
    EXPECT_FALSE(host.LoadFolder(folder.string()));  // resources only
    ASSERT_EQ(host.GetErrors().size(), 1u);
    EXPECT_NE(host.GetErrors()[0].find("c4d_main"), std::string::npos);
    EXPECT_FALSE(host.LoadFolder((folder / "missing").string()));
    EXPECT_FALSE(host.LoadModule((folder / "missing.so").string(), folder.string()));
    EXPECT_EQ(host.GetErrors().size(), 3u);
}

TEST_F(PluginLoading, LoadFolderFindsTheModule) {
    std::filesystem::copy_file(TEST_PLUGIN_PATH, folder / "counter.so");
    PluginHost host;
    ASSERT_TRUE(host.LoadFolder(folder.string())) << ::testing::PrintToString(host.GetErrors());
    EXPECT_EQ(host.GetModuleCount(), 1);
    EXPECT_NE(PluginRegistry::Find(kTypeId), nullptr);
}

TEST(Description, InvalidFilesNameTheProblem) {
    struct Case { const char* json; const char* expect; };
    const Case cases[] = {
        {"{", "description \"t\""},
        {R"({"parameters": [ {"id": 1, "name": "A", "type": "colour"} ]})", "unknown type \"colour\""},
        {R"({"parameters": [ {"id": 1, "name": "A", "type": "float", "default": "x"} ]})", "(A)"},
        {R"({"parameters": [ {"id": 1, "name": "A", "type": "int32"}, {"id": 1, "name": "B", "type": "int32"} ]})",
         "repeated"},
        {R"({"parameters": [ {"id": 1, "name": "A", "type": "float", "accepts": [5100]} ]})", "only a link"},
    };
    for (const Case& c : cases) {
        Description d;
        std::string error;
        EXPECT_FALSE(Description::Parse("t", c.json, d, error)) << c.json;
        EXPECT_NE(error.find(c.expect), std::string::npos) << error;
    }
    Description d;
    std::string error;
    ASSERT_TRUE(Description::Parse("t", R"({"parameters": [
        {"id": 7, "name": "T_PATH", "type": "filename", "default": "a/b"},
        {"id": 8, "name": "T_GO", "type": "button"} ]})", d, error)) << error;
    EXPECT_EQ(d.Find(7)->defaultValue.GetFilename().GetString().GetStd(), "a/b");
    EXPECT_EQ(d.Find("T_GO")->defaultValue.GetType(), DA::NIL);
    EXPECT_EQ(d.Find(9), nullptr);
}
