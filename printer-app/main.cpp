// raster58-app: the printer application. PAPPL's main loop gives the
// command line, IPP, the web interface, spooling, devices and state; this
// program adds the driver that prints through the plug-in module.
#include <pappl/pappl.h>

#include <climits>
#include <string>

#include <unistd.h>

#include "printer-app/driver.h"
#include "printer-app/raster_job.h"

namespace {

std::string SelfFolder() {
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return "";
    std::string dir(self, static_cast<size_t>(n));
    return dir.erase(dir.find_last_of('/') + 1);
}

// Installed, the module lies at a fixed place relative to the executable;
// in the build tree, beside it.
std::string ModulePath() {
    const std::string dir = SelfFolder();
    if (dir.empty()) return OEMDLL_APP_MODULE_INSTALLED;
    const std::string installed = dir + OEMDLL_APP_MODULE;
    if (access(installed.c_str(), R_OK) == 0) return installed;
    return dir + OEMDLL_APP_MODULE_BUILD;
}

}  // namespace

int main(int argc, char* argv[]) {
    app::SetModulePath(ModulePath());
    return papplMainloop(argc, argv, OEMDLL_APP_VERSION,
                         "Raster58 printer application " OEMDLL_APP_VERSION, 1, app::kDrivers, app::AutoAdd,
                         app::DriverCallback, nullptr, nullptr, nullptr, nullptr, nullptr);
}
