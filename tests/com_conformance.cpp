// Activates the plug-in the way the print pipeline does, through COM: the
// class is registered in the registry and created with CoCreateInstance.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "oemdll/host/printer.h"
#include "printhost/plugin_module.h"
#include "standin/host/print_job.h"

namespace {

const CLSID kRasterPlugin = {0x6D6ABF26, 0x9F38, 0x11D1, {0x88, 0x2A, 0x00, 0xC0, 0x4F, 0xB9, 0x61, 0xEC}};
const char kClassKey[] = "CLSID\\{6D6ABF26-9F38-11D1-882A-00C04FB961EC}";
const char kServerKey[] = "CLSID\\{6D6ABF26-9F38-11D1-882A-00C04FB961EC}\\InprocServer32";

typedef HRESULT(STDAPICALLTYPE* CanUnloadFn)(void);

class ComActivation : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const std::string dll = standin::DefaultModulePath();
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, kServerKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(dll.c_str()),
                       static_cast<DWORD>(dll.size() + 1));
        const char model[] = "Both";
        RegSetValueExA(key, "ThreadingModel", 0, REG_SZ, reinterpret_cast<const BYTE*>(model), sizeof model);
        RegCloseKey(key);
    }
    static void TearDownTestSuite() {
        RegDeleteKeyA(HKEY_CLASSES_ROOT, kServerKey);
        RegDeleteKeyA(HKEY_CLASSES_ROOT, kClassKey);
    }
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))); }
    void TearDown() override { CoUninitialize(); }
};

TEST_F(ComActivation, CreatedThroughCoCreateInstance) {
    void* ppv = nullptr;
    HRESULT hr = CoCreateInstance(kRasterPlugin, nullptr, CLSCTX_INPROC_SERVER, IID_IPrintOemUni2, &ppv);
    ASSERT_EQ(hr, S_OK) << std::hex << "got 0x" << hr;
    auto* plugin = static_cast<IPrintOemUni2*>(ppv);

    // Identity: IUnknown is the same object; the other plug-in interfaces
    // are refused.
    void* unknown = nullptr;
    ASSERT_EQ(plugin->QueryInterface(IID_IUnknown, &unknown), S_OK);
    EXPECT_EQ(unknown, static_cast<void*>(plugin));
    static_cast<IUnknown*>(unknown)->Release();
    const IID* refused[] = {&IID_IPrintOemUni, &IID_IPrintOemUni3, &IID_IClassFactory};
    for (size_t i = 0; i < 3; ++i) {
        void* other = reinterpret_cast<void*>(0x55555555);
        EXPECT_EQ(plugin->QueryInterface(*refused[i], &other), E_NOINTERFACE) << "interface " << i;
        EXPECT_EQ(other, nullptr) << "interface " << i;
    }

    DWORD value = 0xdeadbeef, needed = 0;
    EXPECT_EQ(plugin->GetInfo(OEMGI_GETSIGNATURE, &value, sizeof value, &needed), S_OK);
    EXPECT_EQ(value, 0x4D534654u);
    EXPECT_EQ(needed, 4u);
    EXPECT_EQ(plugin->GetInfo(OEMGI_GETVERSION, &value, sizeof value, &needed), S_OK);
    EXPECT_EQ(value, 1u);
    SetLastError(0);
    EXPECT_EQ(plugin->GetInfo(OEMGI_GETSIGNATURE, &value, 3, &needed), E_FAIL);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

    const char* claimed[] = {"CommandCallback", "FilterGraphics", "ImageProcessing"};
    for (const char* name : claimed) {
        std::string n = name;
        EXPECT_EQ(plugin->GetImplementedMethod(&n[0]), S_OK) << name;
    }
    std::string other = "imageprocessing";
    EXPECT_EQ(plugin->GetImplementedMethod(&other[0]), S_FALSE);

    HMODULE module = GetModuleHandleA("oemdll.dll");
    ASSERT_NE(module, nullptr) << "COM loaded the DLL";
    auto canUnload = reinterpret_cast<CanUnloadFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "DllCanUnloadNow")));
    ASSERT_NE(canUnload, nullptr);
    EXPECT_EQ(canUnload(), S_FALSE) << "an object is alive";

    EXPECT_EQ(plugin->Release(), 0u);
    EXPECT_EQ(canUnload(), S_OK);
    CoFreeUnusedLibraries();
}

TEST_F(ComActivation, ClassObjectAndServerLocks) {
    void* ppv = nullptr;
    HRESULT hr = CoGetClassObject(kRasterPlugin, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, &ppv);
    ASSERT_EQ(hr, S_OK) << std::hex << "got 0x" << hr;
    auto* factory = static_cast<IClassFactory*>(ppv);
    HMODULE module = GetModuleHandleA("oemdll.dll");
    ASSERT_NE(module, nullptr);
    auto canUnload = reinterpret_cast<CanUnloadFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "DllCanUnloadNow")));
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(canUnload(), S_FALSE);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(canUnload(), S_OK);
    void* object = nullptr;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IPrintOemUni2, &object), S_OK);
    EXPECT_EQ(static_cast<IUnknown*>(object)->Release(), 0u);
    factory->Release();
    EXPECT_EQ(canUnload(), S_OK);
    CoFreeUnusedLibraries();
}

}  // namespace
