// Construction failures, made with the stand-in's allocation-failure
// injection (native builds only).
#include <gtest/gtest.h>

#include "oemdll/host/printer.h"
#include "oemdll/server/module.h"
#include "standin/platform/control.h"
#include "tests/support/junk.h"

namespace {

TEST(AllocationFailure, FactoryThatCannotBeMadeIsOutOfMemory) {
    standin::FaultScope faults;
    const auto live = standin::LiveAllocations();
    standin::FailNthAllocation(1);
    void* ppv = junk::Pointer();
    EXPECT_EQ(DllGetClassObject(CLSID_RasterPlugin, IID_IClassFactory, &ppv), E_OUTOFMEMORY);
    EXPECT_EQ(ppv, junk::Pointer());
    EXPECT_EQ(standin::LiveAllocations(), live);
}

TEST(AllocationFailure, ObjectThatCannotBeMadeIsOutOfMemory) {
    standin::FaultScope faults;
    void* ppv = nullptr;
    ASSERT_EQ(DllGetClassObject(CLSID_RasterPlugin, IID_IClassFactory, &ppv), S_OK);
    auto* factory = static_cast<IClassFactory*>(ppv);
    const auto live = standin::LiveAllocations();

    standin::FailNthAllocation(1);
    ppv = junk::Pointer();
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IPrintOemUni2, &ppv), E_OUTOFMEMORY);
    EXPECT_EQ(ppv, junk::Pointer());
    EXPECT_EQ(LiveObjectCount, 0);
    EXPECT_EQ(standin::LiveAllocations(), live);

    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IPrintOemUni2, &ppv), S_OK) << "only that one failed";
    static_cast<IUnknown*>(ppv)->Release();
    factory->Release();
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

}  // namespace
