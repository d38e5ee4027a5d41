// oeminfo: loads a plug-in module by path and prints what it reports in
// the host's handshake.
#include <cstdio>
#include <cstring>
#include <string>

#include "oemdll/host/printer.h"
#include "oemdll/server/module.h"
#include "printhost/plugin_module.h"
#include "standin/host/print_job.h"
#include "printhost/spool_helper.h"

namespace {

const char kUsage[] =
    "usage: oeminfo [MODULE]\n"
    "Loads a plug-in module (default: the one built with this tool) and prints\n"
    "what it reports in the host's handshake.\n";

int Fail(const char* call, long hr) {
    std::fprintf(stderr, "oeminfo: %s failed: 0x%08lX\n", call, static_cast<unsigned long>(hr) & 0xFFFFFFFFul);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
        if (argc > 2)
            std::fprintf(stderr, "oeminfo: one module at a time\n");
        else
            std::fprintf(stderr, "oeminfo: unknown option %s\n", argv[1]);
        std::fputs(kUsage, stderr);
        return 2;
    }
    const std::string path = argc == 2 ? argv[1] : standin::DefaultModulePath();

    printhost::PluginModule module;
    if (!module.Load(path)) {
        std::fprintf(stderr, "oeminfo: %s\n", module.error().c_str());
        return 1;
    }

    void* ppv = nullptr;
    HRESULT hr = module.getClassObject(CLSID_RasterPlugin, IID_IClassFactory, &ppv);
    if (FAILED(hr)) return Fail("DllGetClassObject", hr);
    auto* factory = static_cast<IClassFactory*>(ppv);
    hr = factory->CreateInstance(nullptr, IID_IPrintOemUni2, &ppv);
    factory->Release();
    if (FAILED(hr)) return Fail("CreateInstance(IID_IPrintOemUni2)", hr);
    auto* plugin = static_cast<IPrintOemUni2*>(ppv);

    DWORD signature = 0, version = 0, needed = 0;
    hr = plugin->GetInfo(OEMGI_GETSIGNATURE, &signature, sizeof signature, &needed);
    if (FAILED(hr)) return plugin->Release(), Fail("GetInfo(OEMGI_GETSIGNATURE)", hr);
    hr = plugin->GetInfo(OEMGI_GETVERSION, &version, sizeof version, &needed);
    if (FAILED(hr)) return plugin->Release(), Fail("GetInfo(OEMGI_GETVERSION)", hr);

    char tag[5] = {char(signature), char(signature >> 8), char(signature >> 16), char(signature >> 24), 0};
    std::printf("module:    %s\n", path.c_str());
    std::printf("signature: 0x%08X (\"%s\")\n", static_cast<unsigned>(signature), tag);
    std::printf("version:   %u\n", static_cast<unsigned>(version));

    printhost::SpoolHelper helper;
    hr = plugin->PublishDriverInterface(&helper);
    std::printf("helper:    %s\n", SUCCEEDED(hr) ? "accepted" : "refused");

    std::printf("claims:   ");
    for (const char* method : printhost::kOptionalMethodNames) {
        std::string name = method;
        if (plugin->GetImplementedMethod(&name[0]) == S_OK) std::printf(" %s", method);
    }
    std::printf("\n");

    plugin->DisableDriver();
    plugin->Release();
    const HRESULT unload = module.canUnloadNow();
    std::printf("unload:    %s\n", unload == S_OK ? "ready (nothing alive)" : "refused (objects alive)");
    return unload == S_OK ? 0 : 1;
}
