// The plug-in server: entry points, factory, identity, reference counts
// and the handshake methods, against the static library.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "oemdll/host/services.h"
#include "oemdll/server/module.h"
#include "oemdll/server/plugin.h"
#include "printhost/spool_helper.h"
#include "tests/support/com_abi.h"
#include "tests/support/junk.h"
#include "tests/support/plugin.h"

namespace {

constexpr CLSID kOtherClsid = {0x6D6ABF26, 0x9F38, 0x11D1, {0x88, 0x2A, 0x00, 0xC0, 0x4F, 0xB9, 0x61, 0xED}};

IClassFactory* GetFactory() {
    void* ppv = nullptr;
    EXPECT_EQ(DllGetClassObject(CLSID_RasterPlugin, IID_IClassFactory, &ppv), S_OK);
    return static_cast<IClassFactory*>(ppv);
}

using testsupport::CreatePlugin;

TEST(ModuleEntry, DllGetClassObjectAnswersOnlyItsClassAndFactoryInterfaces) {
    struct Case {
        const char* what;
        const CLSID* clsid;
        const IID* iid;
        HRESULT hr;
        bool written;  // whether *ppv is written at all
        bool object;   // whether *ppv is a factory
    };
    const Case cases[] = {
        {"class factory", &CLSID_RasterPlugin, &IID_IClassFactory, S_OK, true, true},
        {"unknown", &CLSID_RasterPlugin, &IID_IUnknown, S_OK, true, true},
        {"plug-in interface", &CLSID_RasterPlugin, &IID_IPrintOemUni2, E_NOINTERFACE, true, false},
        {"other class", &kOtherClsid, &IID_IClassFactory, CLASS_E_CLASSNOTAVAILABLE, false, false},
        {"null class", &IID_IUnknown, &IID_IClassFactory, CLASS_E_CLASSNOTAVAILABLE, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        void* ppv = junk::Pointer();
        const HRESULT hr = DllGetClassObject(*c.clsid, *c.iid, &ppv);
        EXPECT_EQ(hr, c.hr) << std::hex << "got 0x" << hr;
        if (!c.written) {
            EXPECT_EQ(ppv, junk::Pointer());
        } else if (!c.object) {
            EXPECT_EQ(ppv, nullptr);
        } else {
            ASSERT_NE(ppv, nullptr);
            // The caller holds the only reference.
            auto* factory = static_cast<IClassFactory*>(ppv);
            EXPECT_EQ(factory->AddRef(), 2u);
            EXPECT_EQ(factory->Release(), 1u);
            EXPECT_EQ(factory->Release(), 0u);
        }
    }
    EXPECT_EQ(DllGetClassObject(CLSID_RasterPlugin, IID_IClassFactory, nullptr), E_POINTER);
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

TEST(ClassFactory, AnswersItsOwnInterfacesOnly) {
    IClassFactory* factory = GetFactory();
    ASSERT_NE(factory, nullptr);
    struct Case {
        const IID* iid;
        HRESULT hr;
    } const cases[] = {
        {&IID_IUnknown, S_OK},           {&IID_IClassFactory, S_OK},         {&IID_IPrintOemUni2, E_NOINTERFACE},
        {&IID_IPrintOemUni, E_NOINTERFACE}, {&IID_IPrintOemDriverUni, E_NOINTERFACE},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        SCOPED_TRACE(i);
        void* ppv = junk::Pointer();
        EXPECT_EQ(factory->QueryInterface(*cases[i].iid, &ppv), cases[i].hr);
        if (cases[i].hr == S_OK) {
            EXPECT_EQ(ppv, factory);
            EXPECT_EQ(factory->Release(), 1u);
        } else {
            EXPECT_EQ(ppv, nullptr);
        }
    }
    EXPECT_EQ(factory->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(factory->Release(), 0u);
}

TEST(ClassFactory, CreateInstanceRefusesAggregationAndNullOut) {
    IClassFactory* factory = GetFactory();
    printhost::SpoolHelper outer;
    void* ppv = junk::Pointer();
    EXPECT_EQ(factory->CreateInstance(&outer, IID_IPrintOemUni2, &ppv), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(ppv, junk::Pointer());
    EXPECT_EQ(outer.refCount(), 1);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IPrintOemUni2, nullptr), E_POINTER);

    ppv = junk::Pointer();
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, &ppv), E_NOINTERFACE);
    EXPECT_EQ(ppv, nullptr);
    EXPECT_EQ(LiveObjectCount, 0) << "a refused query destroys the new object";
    factory->Release();
}

TEST(ClassFactory, LockServerCountsWithoutAFloor) {
    IClassFactory* factory = GetFactory();
    EXPECT_EQ(DllCanUnloadNow(), S_OK) << "a factory alone does not keep the module";

    struct Step {
        BOOL lock;
        LONG count;
        HRESULT canUnload;
    } const steps[] = {
        {TRUE, 1, S_FALSE}, {TRUE, 2, S_FALSE}, {FALSE, 1, S_FALSE}, {FALSE, 0, S_OK},
        {FALSE, -1, S_FALSE}, {FALSE, -2, S_FALSE}, {TRUE, -1, S_FALSE}, {TRUE, 0, S_OK},
    };
    for (size_t i = 0; i < sizeof steps / sizeof steps[0]; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(factory->LockServer(steps[i].lock), S_OK);
        EXPECT_EQ(ServerLockCount, steps[i].count);
        EXPECT_EQ(DllCanUnloadNow(), steps[i].canUnload);
    }
    factory->Release();
}

TEST(RasterPluginIdentity, AnswersUnknownAndItsInterfaceOnly) {
    IPrintOemUni2* plugin = CreatePlugin();
    ASSERT_NE(plugin, nullptr);
    EXPECT_EQ(LiveObjectCount, 1);
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);

    struct Case {
        const char* name;
        const IID* iid;
        HRESULT hr;
    } const cases[] = {
        {"IUnknown", &IID_IUnknown, S_OK},
        {"IPrintOemUni2", &IID_IPrintOemUni2, S_OK},
        {"IPrintOemUni", &IID_IPrintOemUni, E_NOINTERFACE},
        {"IPrintOemUni3", &IID_IPrintOemUni3, E_NOINTERFACE},
        {"IClassFactory", &IID_IClassFactory, E_NOINTERFACE},
        {"IPrintOemDriverUni", &IID_IPrintOemDriverUni, E_NOINTERFACE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        void* ppv = junk::Pointer();
        const HRESULT hr = plugin->QueryInterface(*c.iid, &ppv);
        EXPECT_EQ(hr, c.hr) << std::hex << "got 0x" << hr;
        if (c.hr == S_OK) {
            EXPECT_EQ(ppv, plugin);
            EXPECT_EQ(plugin->Release(), 1u);
        } else {
            EXPECT_EQ(ppv, nullptr);
        }
    }
    EXPECT_EQ(plugin->QueryInterface(IID_IUnknown, nullptr), E_POINTER);

    EXPECT_EQ(plugin->AddRef(), 2u);
    EXPECT_EQ(plugin->AddRef(), 3u);
    EXPECT_EQ(plugin->Release(), 2u);
    EXPECT_EQ(plugin->Release(), 1u);
    EXPECT_EQ(plugin->Release(), 0u);
    EXPECT_EQ(LiveObjectCount, 0);
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

TEST(RasterPluginHandshake, GetInfoByModeAndBuffer) {
    IPrintOemUni2* plugin = CreatePlugin();
    struct Case {
        DWORD mode;
        DWORD size;
        bool buffer;
        bool nullNeeded;
        HRESULT hr;
        DWORD lastError;   // 0: not set
        bool neededWritten;
        DWORD value;       // written to the buffer, or the junk left there
    } const cases[] = {
        {0, 4, true, false, E_FAIL, ERROR_INVALID_PARAMETER, false, junk::kDword},
        {OEMGI_GETSIGNATURE, 4, true, false, S_OK, 0, true, PLUGIN_SIGNATURE},
        {OEMGI_GETSIGNATURE, 8, true, false, S_OK, 0, true, PLUGIN_SIGNATURE},
        {OEMGI_GETSIGNATURE, 3, true, false, E_FAIL, ERROR_INSUFFICIENT_BUFFER, true, junk::kDword},
        {OEMGI_GETSIGNATURE, 0, true, false, E_FAIL, ERROR_INSUFFICIENT_BUFFER, true, junk::kDword},
        {OEMGI_GETSIGNATURE, 4, false, false, E_FAIL, ERROR_INSUFFICIENT_BUFFER, true, junk::kDword},
        {OEMGI_GETSIGNATURE, 4, true, true, E_FAIL, ERROR_INVALID_PARAMETER, false, junk::kDword},
        {OEMGI_GETINTERFACEVERSION, 4, true, false, E_FAIL, ERROR_INVALID_PARAMETER, false, junk::kDword},
        {OEMGI_GETVERSION, 4, true, false, S_OK, 0, true, PLUGIN_VERSION},
        {OEMGI_GETVERSION, 3, true, false, E_FAIL, ERROR_INSUFFICIENT_BUFFER, true, junk::kDword},
        {OEMGI_GETPUBLISHERINFO, 4, true, false, E_FAIL, ERROR_INVALID_PARAMETER, false, junk::kDword},
        {5, 4, true, false, E_FAIL, ERROR_INVALID_PARAMETER, false, junk::kDword},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE("case " + std::to_string(i));
        DWORD buffer = junk::kDword;
        DWORD needed = junk::kDword;
        SetLastError(0);
        const HRESULT hr =
            plugin->GetInfo(c.mode, c.buffer ? &buffer : nullptr, c.size, c.nullNeeded ? nullptr : &needed);
        EXPECT_EQ(hr, c.hr) << std::hex << "got 0x" << hr;
        EXPECT_EQ(GetLastError(), c.lastError);
        EXPECT_EQ(needed, c.neededWritten ? 4u : junk::kDword);
        EXPECT_EQ(buffer, c.value) << std::hex << "got 0x" << buffer;
    }
    plugin->Release();
}

TEST(RasterPluginHandshake, SignatureIsStoredLittleEndian) {
    IPrintOemUni2* plugin = CreatePlugin();
    BYTE bytes[5] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
    DWORD needed = 0;
    // An unaligned buffer as well: the host owes no alignment.
    ASSERT_EQ(plugin->GetInfo(OEMGI_GETSIGNATURE, bytes + 1, 4, &needed), S_OK);
    const BYTE expected[5] = {0xAA, 0x54, 0x46, 0x53, 0x4D};
    EXPECT_EQ(0, std::memcmp(bytes, expected, 5));
    plugin->Release();
}

TEST(RasterPluginHandshake, ClaimsExactlyThreeOptionalMethods) {
    IPrintOemUni2* plugin = CreatePlugin();
    struct Case {
        const char* name;
        HRESULT hr;
    } const cases[] = {
        {"CommandCallback", S_OK},     {"FilterGraphics", S_OK},      {"ImageProcessing", S_OK},
        {"imageprocessing", S_FALSE},  {"IMAGEPROCESSING", S_FALSE},  {"ImageProcessing ", S_FALSE},
        {"ImageProcessin", S_FALSE},   {"Compression", S_FALSE},      {"DownloadCharGlyph", S_FALSE},
        {"DownloadFontHeader", S_FALSE}, {"HalftonePattern", S_FALSE}, {"MemoryUsage", S_FALSE},
        {"OutputCharStr", S_FALSE},    {"SendFontCmd", S_FALSE},      {"TextOutAsBitmap", S_FALSE},
        {"TTDownloadMethod", S_FALSE}, {"TTYGetInfo", S_FALSE},       {"WritePrinter", S_FALSE},
        {"", S_FALSE},                 {"GetInfo", S_FALSE},
    };
    for (const Case& c : cases) {
        std::string name = c.name;
        EXPECT_EQ(plugin->GetImplementedMethod(&name[0]), c.hr) << "name \"" << c.name << "\"";
    }
    EXPECT_EQ(plugin->GetImplementedMethod(nullptr), S_FALSE);
    plugin->Release();
}

TEST(RasterPluginHandshake, CommandCallbackAnswersZeroAndSendsNothing) {
    IPrintOemUni2* plugin = CreatePlugin();
    printhost::SpoolHelper helper;
    ASSERT_EQ(plugin->PublishDriverInterface(&helper), S_OK);
    const DWORD ids[] = {0, 1, 2, 0xFFFFFFFF};
    for (DWORD id : ids) {
        INT result = static_cast<INT>(junk::kDword);
        DWORD params[2] = {7, 9};
        EXPECT_EQ(plugin->CommandCallback(nullptr, id, 2, params, &result), S_OK) << "id " << id;
        EXPECT_EQ(result, 0) << "id " << id;
    }
    EXPECT_EQ(plugin->CommandCallback(nullptr, 1, 0, nullptr, nullptr), S_OK);
    EXPECT_EQ(helper.writeCount, 0u);
    plugin->Release();
    EXPECT_EQ(helper.refCount(), 1);
}

// An IUnknown whose query for the helper interface fails after scribbling
// on the out-pointer, as a careless host might.
class RefusingUnknown final : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
        ++queries;
        if (ppv) *ppv = junk::Pointer();
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    int queries = 0;
};

TEST(RasterPluginHandshake, PublishDriverInterfaceHoldsOneReference) {
    IPrintOemUni2* plugin = CreatePlugin();
    auto* object = static_cast<RasterPlugin*>(plugin);
    printhost::SpoolHelper helper;

    EXPECT_EQ(plugin->PublishDriverInterface(&helper), S_OK);
    EXPECT_EQ(helper.refCount(), 2);
    EXPECT_EQ(object->driverHelp, &helper);

    EXPECT_EQ(plugin->PublishDriverInterface(&helper), S_OK);
    EXPECT_EQ(helper.queries, 1) << "a held helper is not queried again";
    EXPECT_EQ(helper.refCount(), 2);

    EXPECT_EQ(plugin->DisableDriver(), S_OK);
    EXPECT_EQ(helper.refCount(), 1);
    EXPECT_EQ(object->driverHelp, nullptr);
    EXPECT_EQ(plugin->DisableDriver(), S_OK);
    EXPECT_EQ(helper.refCount(), 1);

    EXPECT_EQ(plugin->PublishDriverInterface(&helper), S_OK);
    EXPECT_EQ(helper.refCount(), 2);
    EXPECT_EQ(plugin->Release(), 0u);
    EXPECT_EQ(helper.refCount(), 1) << "destruction releases the helper";
}

TEST(RasterPluginHandshake, FailedPublishLeavesNoHelper) {
    IPrintOemUni2* plugin = CreatePlugin();
    auto* object = static_cast<RasterPlugin*>(plugin);
    RefusingUnknown refusing;
    EXPECT_EQ(plugin->PublishDriverInterface(&refusing), E_FAIL);
    EXPECT_EQ(object->driverHelp, nullptr);
    EXPECT_EQ(plugin->PublishDriverInterface(&refusing), E_FAIL);
    EXPECT_EQ(refusing.queries, 2) << "a failed publish is tried again next time";
    EXPECT_EQ(plugin->PublishDriverInterface(nullptr), E_FAIL);
    EXPECT_EQ(plugin->Release(), 0u);  // must not release the junk pointer
}

TEST(RasterPluginHandshake, ResetPDEVCarriesNothing) {
    IPrintOemUni2* plugin = CreatePlugin();
    DEVOBJ oldDev{}, newDev{};
    newDev.pdevOEM = junk::Pointer();
    EXPECT_EQ(plugin->ResetPDEV(&oldDev, &newDev), S_OK);
    EXPECT_EQ(newDev.pdevOEM, junk::Pointer());
    EXPECT_EQ(plugin->ResetPDEV(nullptr, nullptr), S_OK);
    plugin->Release();
}

TEST(RasterPluginHandshake, UnimplementedMethodsTouchNothing) {
    IPrintOemUni2* plugin = CreatePlugin();
    DWORD dw = junk::kDword;
    INT result = static_cast<INT>(junk::kDword);
    BYTE buffer[16];
    std::memset(buffer, 0x55, sizeof buffer);
    OEMMEMORYUSAGE usage;
    junk::Fill(usage);

    EXPECT_EQ(plugin->DriverDMS(nullptr, buffer, sizeof buffer, &dw), E_NOTIMPL);
    EXPECT_EQ(plugin->Compression(nullptr, buffer, buffer, 4, 4, &result), E_NOTIMPL);
    EXPECT_EQ(plugin->HalftonePattern(nullptr, buffer, 1, 1, 1, 1, buffer, 4), E_NOTIMPL);
    EXPECT_EQ(plugin->MemoryUsage(nullptr, &usage), E_NOTIMPL);
    EXPECT_EQ(plugin->TTYGetInfo(nullptr, 0, buffer, sizeof buffer, &dw), E_NOTIMPL);
    EXPECT_EQ(plugin->DownloadFontHeader(nullptr, nullptr, &dw), E_NOTIMPL);
    EXPECT_EQ(plugin->DownloadCharGlyph(nullptr, nullptr, 0, &dw, &dw), E_NOTIMPL);
    EXPECT_EQ(plugin->TTDownloadMethod(nullptr, nullptr, &dw), E_NOTIMPL);
    EXPECT_EQ(plugin->OutputCharStr(nullptr, nullptr, 0, 1, buffer), E_NOTIMPL);
    EXPECT_EQ(plugin->SendFontCmd(nullptr, nullptr, nullptr), E_NOTIMPL);
    EXPECT_EQ(plugin->TextOutAsBitmap(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                      nullptr, 0),
              E_NOTIMPL);
    EXPECT_EQ(plugin->WritePrinter(nullptr, buffer, sizeof buffer, &dw), E_NOTIMPL);

    EXPECT_EQ(dw, junk::kDword);
    EXPECT_EQ(result, static_cast<INT>(junk::kDword));
    for (BYTE b : buffer) EXPECT_EQ(b, 0x55);
    EXPECT_EQ(usage.dwFixedMemoryUsage, 0x55555555u);
    plugin->Release();
}

TEST(RasterPluginAbi, MethodsSitInThePlatformSlots) {
    IPrintOemUni2* plugin = CreatePlugin();
    void* self = plugin;

    EXPECT_EQ(comabi::Method<comabi::RefFn>(self, comabi::kAddRef)(self), 2u);
    EXPECT_EQ(comabi::Method<comabi::RefFn>(self, comabi::kRelease)(self), 1u);

    DWORD value = 0, needed = 0;
    EXPECT_EQ(comabi::Method<comabi::GetInfoFn>(self, comabi::kGetInfo)(self, OEMGI_GETVERSION, &value, 4, &needed), S_OK);
    EXPECT_EQ(value, PLUGIN_VERSION);

    char name[] = "FilterGraphics";
    EXPECT_EQ(comabi::Method<comabi::GetImplementedMethodFn>(self, comabi::kGetImplementedMethod)(self, name), S_OK);

    INT result = 5;
    EXPECT_EQ(comabi::Method<comabi::CommandCallbackFn>(self, comabi::kCommandCallback)(self, nullptr, 1, 0, nullptr,
                                                                               &result),
              S_OK);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(comabi::Method<comabi::ResetPDEVFn>(self, comabi::kResetPDEV)(self, nullptr, nullptr), S_OK);
    EXPECT_EQ(comabi::Method<comabi::NoArgFn>(self, comabi::kDisableDriver)(self), S_OK);

    DWORD written = junk::kDword;
    EXPECT_EQ(comabi::Method<comabi::WritePrinterFn>(self, comabi::kWritePrinter)(self, nullptr, nullptr, 0, &written),
              E_NOTIMPL);
    EXPECT_EQ(written, junk::kDword);

    void* ppv = nullptr;
    EXPECT_EQ(comabi::Method<comabi::QueryInterfaceFn>(self, comabi::kQueryInterface)(self, IID_IUnknown, &ppv), S_OK);
    EXPECT_EQ(ppv, self);
    plugin->Release();
    EXPECT_EQ(plugin->Release(), 0u);
}

}  // namespace
