#include "printer-app/identify.h"

#include <string>
#include <vector>

#include "printer-app/raster_job.h"
#include "printer-app/test_page.h"
#include "printhost/job_session.h"

namespace app {

namespace {

// The slip through the plug-in as a one-page document; its stream goes to
// the device as the plug-in writes it. Empty, or what failed.
std::string PrintSlip(pappl_device_t* device, const std::string& text) {
    unsigned rows = 0;
    const std::vector<unsigned char> slip = IdentifySlip(text, rows);
    bool writeFailed = false;
    printhost::HostOptions host;
    host.modulePath = ModulePath();
    host.callbackId = 1;
    host.write = [&](const BYTE* bytes, DWORD size) {
        if (!writeFailed && papplDeviceWrite(device, bytes, size) < 0) writeFailed = true;
    };
    printhost::JobSession session(host);
    bool ok = session.Start() && session.StartDocument(static_cast<LONG>(kPrinterDots)) && session.StartPage() &&
              session.Band(slip.data(), static_cast<LONG>(rows), false) && session.EndPage();
    ok = session.EndDocument(!ok) && ok;
    const std::string error = session.Finish().error;
    if (!ok) return "the plug-in failed: " + error;
    papplDeviceFlush(device);
    return writeFailed ? "cannot write to the printer" : "";
}

}  // namespace

void Identify(pappl_printer_t* printer, pappl_identify_actions_t actions, const char* message) {
    if (!(actions & kIdentifyActions)) {
        papplLogPrinter(printer, PAPPL_LOGLEVEL_INFO, "Identify-Printer: no action the printer can do was asked.");
        return;
    }
    const std::string text = message && *message ? message : papplPrinterGetName(printer);
    // A job printing has the device; the printer is then plain to see.
    pappl_device_t* device = papplPrinterOpenDevice(printer);
    if (!device) {
        papplLogPrinter(printer, PAPPL_LOGLEVEL_WARN, "Identify-Printer: the device is busy or cannot be opened.");
        return;
    }
    const std::string why = PrintSlip(device, text);
    papplPrinterCloseDevice(printer);
    if (why.empty())
        papplLogPrinter(printer, PAPPL_LOGLEVEL_INFO, "Identify-Printer: slip printed.");
    else
        papplLogPrinter(printer, PAPPL_LOGLEVEL_ERROR, "Identify-Printer: %s.", why.c_str());
}

}  // namespace app
