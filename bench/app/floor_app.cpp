// raster58-app-bench: the printer application with a second driver,
// raster58-discard, that has the same driver data but discards every line
// and sends one byte at the end of a job: the framework's own cost of a job
// (its floor), measured through the same server by make bench-app. Not
// installed, so the product's driver list stays as it is.
#include <pappl/pappl.h>

#include <cstring>

#include "printer-app/driver.h"
#include "printer-app/raster_job.h"
#include "printer-app/system_setup.h"

namespace {

constexpr const char* kDiscard = "raster58-discard";

pappl_pr_driver_t drivers[2] = {app::kDrivers[0], {kDiscard, "Raster58, lines discarded", nullptr, nullptr}};

bool DiscardJob(pappl_job_t*, pappl_pr_options_t*, pappl_device_t*) { return true; }
bool DiscardPage(pappl_job_t*, pappl_pr_options_t*, pappl_device_t*, unsigned) { return true; }
bool DiscardLine(pappl_job_t*, pappl_pr_options_t*, pappl_device_t*, unsigned, const unsigned char*) { return true; }

// The one byte gives the job's end a time at the printer.
bool EndDiscardJob(pappl_job_t*, pappl_pr_options_t*, pappl_device_t* device) {
    const unsigned char end = 0;
    if (papplDeviceWrite(device, &end, 1) != 1) return false;
    papplDeviceFlush(device);
    return true;
}

bool DriverCallback(pappl_system_t* system, const char* driver_name, const char* device_uri, const char* device_id,
                    pappl_pr_driver_data_t* data, ipp_t** attrs, void* context) {
    // The product's system callback sets the system up; this build keeps
    // PAPPL's default system.
    if (system) app::ConfigureSystem(system);
    if (std::strcmp(driver_name, kDiscard) != 0)
        return app::DriverCallback(system, driver_name, device_uri, device_id, data, attrs, context);
    if (!app::DriverCallback(system, app::kDrivers[0].name, device_uri, device_id, data, attrs, context))
        return false;
    data->rstartjob_cb = DiscardJob;
    data->rstartpage_cb = DiscardPage;
    data->rwriteline_cb = DiscardLine;
    data->rendpage_cb = DiscardPage;
    data->rendjob_cb = EndDiscardJob;
    return true;
}

}  // namespace

int main(int argc, char* argv[]) {
    app::SetModulePath(OEMDLL_APP_MODULE_PATH);
    return papplMainloop(argc, argv, OEMDLL_APP_VERSION, "Raster58 printer application (benchmark build)", 2,
                         drivers, app::AutoAdd, DriverCallback, nullptr, nullptr, nullptr, nullptr, nullptr);
}
