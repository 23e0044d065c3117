// The module's entry and its registration, loaded as the host loads it.
#include "host.h"
#include "pool.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

struct ExpectedType {
    Int32 id;
    const char* description;
    Int32 info;
};

// Registration order: the cloth object, then the helpers, then the separators.
const ExpectedType kExpected[] = {
    {1038077, "drapeon", 0x0001},          {1038111, "drGravity", 0x8002},
    {1038112, "drNail", 0x8002},           {1038113, "drPin", 0x8002},
    {1038110, "drDamp", 0x8002},           {1038106, "drCollideMesh", 0x8002},
    {1038107, "drCollidePlane", 0x8002},   {1038109, "drCollideSphere", 0x8002},
    {1038451, "drCollideCapsule", 0x8002}, {1038108, "drCollideSelf", 0x8002},
    {1038114, "drVolume", 0x8002},         {1038115, "drSew", 0x8002},
    {1038124, "drWind", 0x8002},
};

struct ExpectedSeparator {
    Int32 id;
    const char* name;
    const char* description;
};

const ExpectedSeparator kSeparators[] = {
    {1038116, "#$01--", "--1"},
    {1038117, "#$06--", "--2"},
    {1038118, "#$09--", "--3"},
    {1038119, "#$15--", "--4"},
};

class EntryTest : public ::testing::Test {
protected:
    void SetUp() override {
        PluginRegistry::Clear();
        PluginRegistry::RefuseRegistration(0);
        // Two workers whatever the machine, so a running pool is visible
        poolSetProcessorCount(2);
        HostTakeErrors();
    }
    void TearDown() override {
        PluginRegistry::RefuseRegistration(0);
        PluginRegistry::Clear();
        FreeStringResource();
    }
};

/// The module opened directly, to call its entry as the host would.
class DirectModule {
public:
    DirectModule() {
        handle_ = dlopen(DRAPEON_PLUGIN_MODULE, RTLD_NOW | RTLD_LOCAL);
        if (handle_ != nullptr) entry_ = reinterpret_cast<PluginEntry>(dlsym(handle_, "c4d_main"));
    }
    ~DirectModule() {
        if (handle_ != nullptr) dlclose(handle_);
    }
    bool ok() const { return entry_ != nullptr; }
    Int32 call(Int32 action, void* p1 = nullptr, void* p2 = nullptr, void* p3 = nullptr) {
        PluginRegistry::SetCurrentPluginFolder(Filename(DRAPEON_PLUGIN_FOLDER));
        const Int32 result = entry_(action, p1, p2, p3);
        PluginRegistry::SetCurrentPluginFolder(Filename());
        return result;
    }
    Int32 init(Int32 version, const char* folder = DRAPEON_PLUGIN_FOLDER) {
        HostInterfaceTable table;
        table.version = version;
        return call(1, &table, nullptr, const_cast<char*>(folder));
    }
    Int32 message(Int32 id) { return call(6, reinterpret_cast<void*>(static_cast<intptr_t>(id))); }

private:
    void* handle_ = nullptr;
    PluginEntry entry_ = nullptr;
};

}  // namespace

TEST_F(EntryTest, RegistersTheTypesInOrderThenTheSeparatorsThenStartsThePool) {
    PluginHost host;
    ASSERT_TRUE(host.LoadFolder(DRAPEON_PLUGIN_FOLDER)) << ::testing::PrintToString(host.GetErrors());
    const std::vector<const RegisteredType*> types = PluginRegistry::List();
    ASSERT_EQ(types.size(), 17u);

    for (size_t k = 0; k < 13; ++k) {
        SCOPED_TRACE(kExpected[k].description);
        const RegisteredType* t = types[k];
        EXPECT_EQ(t->id, kExpected[k].id);
        EXPECT_EQ(t->descriptionName.GetStd(), kExpected[k].description);
        EXPECT_EQ(t->info, kExpected[k].info);
        EXPECT_NE(t->allocator, nullptr);
        EXPECT_EQ(t->diskLevel, 0);
        // The display name comes from the string resource, loaded before the start
        EXPECT_EQ(t->name, GeLoadString(1000 + static_cast<Int32>(k)));
        EXPECT_TRUE(t->name.IsPopulated());
        EXPECT_TRUE(t->iconLoaded);
        EXPECT_EQ(t->iconPath.GetFile().GetString().GetStd(), "drapeon.png");
        EXPECT_EQ(t->iconWidth, 32);
        EXPECT_EQ(t->iconHeight, 32);
    }
    for (size_t k = 0; k < 4; ++k) {
        const RegisteredType* t = types[13 + k];
        EXPECT_EQ(t->id, kSeparators[k].id);
        EXPECT_EQ(t->name.GetStd(), kSeparators[k].name);
        EXPECT_EQ(t->descriptionName.GetStd(), kSeparators[k].description);
        EXPECT_EQ(t->info, 0);
        EXPECT_EQ(t->allocator, nullptr);
        EXPECT_FALSE(t->iconLoaded);
    }
    EXPECT_EQ(poolWorkerCount(), 2);

    host.Shutdown();
    EXPECT_EQ(poolWorkerCount(), 0);
}

TEST_F(EntryTest, ClothDescriptionDeclaresItsParameters) {
    PluginHost host;
    ASSERT_TRUE(host.LoadFolder(DRAPEON_PLUGIN_FOLDER)) << ::testing::PrintToString(host.GetErrors());
    const Description* d = Description::ForType(1038077);
    ASSERT_NE(d, nullptr) << PluginRegistry::Find(1038077)->descriptionError;
    const struct {
        Int32 id;
        const char* name;
        DescValueType type;
    } params[] = {
        {1000, "DRAPEON_MASS", DescValueType::FLOAT},         {1001, "DRAPEON_STIFFNESS", DescValueType::FLOAT},
        {1002, "DRAPEON_DAMPING", DescValueType::FLOAT},      {1003, "DRAPEON_SHEAR", DescValueType::FLOAT},
        {1004, "DRAPEON_BEND", DescValueType::FLOAT},         {1005, "DRAPEON_SETTLE_FRAME", DescValueType::INT32},
        {1006, "DRAPEON_CACHE_PATH", DescValueType::FILENAME}, {1007, "DRAPEON_CACHE_DELETE", DescValueType::BUTTON},
    };
    EXPECT_EQ(d->GetParameters().size(), 8u);
    for (const auto& p : params) {
        const DescParameter* found = d->Find(p.id);
        ASSERT_NE(found, nullptr) << p.name;
        EXPECT_EQ(found->name, p.name);
        EXPECT_EQ(found->type, p.type) << p.name;
    }

    // The defaults an object gets agree with the description's
    BaseObject* cloth = BaseObject::Alloc(1038077);
    ASSERT_NE(cloth, nullptr);
    for (const auto& p : params) {
        const DescParameter* found = d->Find(p.id);
        if (found->type == DescValueType::FLOAT || found->type == DescValueType::INT32) {
            EXPECT_EQ(cloth->GetDataInstance()->GetData(p.id), found->defaultValue) << p.name;
        }
    }
    EXPECT_FALSE(cloth->GetDataInstance()->Has(1006));
    EXPECT_FALSE(cloth->GetDataInstance()->Has(1007));
    BaseObject::Free(cloth);
}

TEST_F(EntryTest, RefusedFifthRegistrationKeepsFourAndStartsNothingElse) {
    PluginRegistry::RefuseRegistration(5);
    PluginHost host;
    EXPECT_FALSE(host.LoadFolder(DRAPEON_PLUGIN_FOLDER));
    const std::vector<const RegisteredType*> types = PluginRegistry::List();
    ASSERT_EQ(types.size(), 4u);
    for (size_t k = 0; k < 4; ++k) EXPECT_EQ(types[k]->id, kExpected[k].id);
    EXPECT_EQ(PluginRegistry::Find(1038116), nullptr);
    EXPECT_EQ(poolWorkerCount(), 0);
    bool sawZero = false;
    for (const std::string& e : host.GetErrors()) sawZero = sawZero || e.find("action 2 returned 0") != std::string::npos;
    EXPECT_TRUE(sawZero) << ::testing::PrintToString(host.GetErrors());
}

TEST_F(EntryTest, AnswersEveryActionAndCountsStartAndEnd) {
    DirectModule module;
    ASSERT_TRUE(module.ok()) << dlerror();

    // Too old a host, or no folder: refused, and not counted
    EXPECT_EQ(module.init(20016), -3);
    EXPECT_EQ(module.init(20017, nullptr), -3);
    EXPECT_EQ(module.call(1, nullptr, nullptr, const_cast<char*>(DRAPEON_PLUGIN_FOLDER)), -3);

    EXPECT_EQ(module.init(20017), 1);
    EXPECT_EQ(module.init(20017), 1);

    // Messages are answered -1 whatever their id; 1 loads the texts
    EXPECT_EQ(module.message(1), -1);
    EXPECT_TRUE(GeLoadString(1000).IsPopulated());
    for (Int32 id : {0, 2, 99, -1}) EXPECT_EQ(module.message(id), -1) << id;

    EXPECT_EQ(module.call(2), 1);
    EXPECT_EQ(PluginRegistry::List().size(), 17u);
    EXPECT_EQ(poolWorkerCount(), 2);

    int marker = 0;
    EXPECT_EQ(module.call(4), 5);
    EXPECT_EQ(module.call(4, &marker, &marker, &marker), 5);
    for (Int32 action : {0, 5, 7, 100, -1}) EXPECT_EQ(module.call(action), -1) << action;

    // Two starts need two ends: the first leaves the pool and the texts
    EXPECT_EQ(module.call(3), 1);
    EXPECT_EQ(poolWorkerCount(), 2);
    EXPECT_TRUE(GeLoadString(1000).IsPopulated());
    EXPECT_EQ(module.call(3), 1);
    EXPECT_EQ(poolWorkerCount(), 0);
    EXPECT_TRUE(GeLoadString(1000).IsEmpty());
    // An end without a start does nothing
    EXPECT_EQ(module.call(3), 1);
}
