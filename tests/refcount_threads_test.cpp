// Reference counts and server locks changed from several threads at once
// stay exact.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "oemdll/server/module.h"
#include "oemdll/server/plugin.h"

namespace {

constexpr int kThreads = 4;
constexpr int kRounds = 20000;

TEST(Concurrency, ReferenceCountsAndLocksStayExact) {
    void* ppv = nullptr;
    ASSERT_EQ(DllGetClassObject(CLSID_RasterPlugin, IID_IClassFactory, &ppv), S_OK);
    auto* factory = static_cast<IClassFactory*>(ppv);
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IPrintOemUni2, &ppv), S_OK);
    auto* plugin = static_cast<IPrintOemUni2*>(ppv);

    std::atomic<int> unloadable{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                plugin->AddRef();
                factory->AddRef();
                factory->LockServer(TRUE);
                void* other = nullptr;
                plugin->QueryInterface(IID_IUnknown, &other);
                static_cast<IUnknown*>(other)->Release();
                if (DllCanUnloadNow() != S_FALSE) unloadable.fetch_add(1);  // a lock is held here
                factory->LockServer(FALSE);
                factory->Release();
                plugin->Release();
            }
        });
    }
    for (std::thread& thread : threads) thread.join();

    EXPECT_EQ(unloadable.load(), 0) << "DllCanUnloadNow answered S_OK while objects and locks were held";
    EXPECT_EQ(static_cast<RasterPlugin*>(plugin)->refCount, 1);
    EXPECT_EQ(ServerLockCount, 0);
    EXPECT_EQ(LiveObjectCount, 1);
    EXPECT_EQ(factory->Release(), 0u);
    EXPECT_EQ(plugin->Release(), 0u);
    EXPECT_EQ(LiveObjectCount, 0);
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

TEST(Concurrency, ObjectsCreatedAndReleasedOnManyThreadsAreAllCounted) {
    void* ppv = nullptr;
    ASSERT_EQ(DllGetClassObject(CLSID_RasterPlugin, IID_IClassFactory, &ppv), S_OK);
    auto* factory = static_cast<IClassFactory*>(ppv);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds / 10; ++i) {
                void* object = nullptr;
                if (factory->CreateInstance(nullptr, IID_IPrintOemUni2, &object) == S_OK)
                    static_cast<IUnknown*>(object)->Release();
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(LiveObjectCount, 0);
    EXPECT_EQ(factory->Release(), 0u);
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

}  // namespace
