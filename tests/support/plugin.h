// A plug-in object made through the module's own entry points, as the
// host makes one.
#pragma once

#include <gtest/gtest.h>

#include "oemdll/host/printer.h"
#include "oemdll/server/module.h"

namespace testsupport {

inline IPrintOemUni2* CreatePlugin() {
    void* ppv = nullptr;
    EXPECT_EQ(DllGetClassObject(CLSID_RasterPlugin, IID_IClassFactory, &ppv), S_OK);
    if (!ppv) return nullptr;
    auto* factory = static_cast<IClassFactory*>(ppv);
    ppv = nullptr;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IPrintOemUni2, &ppv), S_OK);
    factory->Release();
    return static_cast<IPrintOemUni2*>(ppv);
}

}  // namespace testsupport
