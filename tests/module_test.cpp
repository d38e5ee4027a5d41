// Loads the built module by path, as the print pipeline does, and walks one
// whole life of the plug-in through its exports.
#include <gtest/gtest.h>

#include "oemdll/host/printer.h"
#include "oemdll/server/module.h"
#include "printhost/plugin_module.h"
#include "standin/host/print_job.h"
#include "printhost/spool_helper.h"

namespace {

TEST(LoadedModule, WholeLifeThroughTheExports) {
    printhost::PluginModule module;
    ASSERT_TRUE(module.Load(standin::DefaultModulePath())) << module.error();
    EXPECT_EQ(module.canUnloadNow(), S_OK);

    void* ppv = nullptr;
    ASSERT_EQ(module.getClassObject(CLSID_RasterPlugin, IID_IClassFactory, &ppv), S_OK);
    auto* factory = static_cast<IClassFactory*>(ppv);
    EXPECT_EQ(module.canUnloadNow(), S_OK) << "a factory alone is not counted";

    ppv = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IPrintOemUni2, &ppv), S_OK);
    auto* plugin = static_cast<IPrintOemUni2*>(ppv);
    EXPECT_EQ(factory->Release(), 0u);
    EXPECT_EQ(module.canUnloadNow(), S_FALSE);

    DWORD value = 0, needed = 0;
    ASSERT_EQ(plugin->GetInfo(OEMGI_GETSIGNATURE, &value, sizeof value, &needed), S_OK);
    EXPECT_EQ(value, PLUGIN_SIGNATURE);
    ASSERT_EQ(plugin->GetInfo(OEMGI_GETVERSION, &value, sizeof value, &needed), S_OK);
    EXPECT_EQ(value, PLUGIN_VERSION);

    printhost::SpoolHelper helper;
    EXPECT_EQ(plugin->PublishDriverInterface(&helper), S_OK);
    EXPECT_EQ(helper.refCount(), 2);
    char name[] = "ImageProcessing";
    EXPECT_EQ(plugin->GetImplementedMethod(name), S_OK);
    EXPECT_EQ(plugin->DisableDriver(), S_OK);
    EXPECT_EQ(helper.refCount(), 1);
    EXPECT_EQ(module.canUnloadNow(), S_FALSE);

    EXPECT_EQ(plugin->PublishDriverInterface(&helper), S_OK);
    EXPECT_EQ(plugin->Release(), 0u);
    EXPECT_EQ(helper.refCount(), 1);
    EXPECT_EQ(module.canUnloadNow(), S_OK);
}

TEST(LoadedModule, MissingModuleIsReportedByPath) {
    printhost::PluginModule module;
    EXPECT_FALSE(module.Load("/nonexistent/liboemdll.so"));
    EXPECT_NE(module.error().find("/nonexistent/liboemdll.so"), std::string::npos) << module.error();
    EXPECT_FALSE(module.loaded());
}

}  // namespace
