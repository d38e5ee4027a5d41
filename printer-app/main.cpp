// raster58-app: the printer application. PAPPL's main loop gives the
// command line, IPP, the web interface, spooling, devices and state; this
// program adds the driver that prints through the plug-in module.
#include <pappl/pappl.h>

#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include "printer-app/driver.h"
#include "printer-app/raster_job.h"
#include "printer-app/system.h"
#include "printhost/plugin_module.h"

namespace {

// Installed, the module lies at a fixed place relative to the executable;
// in the build tree, beside it.
std::string ModulePath() {
    const std::string dir = printhost::ProgramFolder();
    if (dir.empty()) return OEMDLL_APP_MODULE_INSTALLED;
    const std::string installed = dir + OEMDLL_APP_MODULE;
    if (access(installed.c_str(), R_OK) == 0) return installed;
    return dir + OEMDLL_APP_MODULE_BUILD;
}

// The server listens on loopback only unless its command line names the
// host to listen on, as the virtual printer does.
std::vector<char*> WithLoopbackDefault(int argc, char* argv[]) {
    std::vector<char*> args(argv, argv + argc);
    bool server = false, named = false;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "server")) server = true;
        if (std::strstr(argv[i], "listen-hostname=")) named = true;
    }
    static char option[] = "-o";
    static char loopback[] = "listen-hostname=localhost";
    if (server && !named) {
        args.push_back(option);
        args.push_back(loopback);
    }
    args.push_back(nullptr);
    return args;
}

}  // namespace

int main(int argc, char* argv[]) {
    app::SetModulePath(ModulePath());
    std::vector<char*> args = WithLoopbackDefault(argc, argv);
    // The name PAPPL derives its files from, as its main loop does.
    const char* slash = std::strrchr(argv[0], '/');
    app::Program program = {slash ? slash + 1 : argv[0], false};
    for (int i = 1; i < argc; ++i) program.server = program.server || !std::strcmp(argv[i], "server");
    return papplMainloop(static_cast<int>(args.size()) - 1, args.data(), OEMDLL_APP_VERSION,
                         "Raster58 printer application " OEMDLL_APP_VERSION, 1, app::kDrivers, app::AutoAdd,
                         app::DriverCallback, nullptr, nullptr, app::CreateSystem, nullptr, &program);
}
