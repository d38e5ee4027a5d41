#include "printer-app/driver.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "printer-app/documents.h"
#include "printer-app/identify.h"
#include "printer-app/raster_job.h"
#include "printer-app/raw_stream.h"
#include "printer-app/system.h"
#include "printer-app/test_page.h"
#include "printhost/job_session.h"

namespace app {

pappl_pr_driver_t kDrivers[1] = {
    {"raster58", "Raster58 Receipt Printer", "MFG:Oemdll;MDL:Raster58;CMD:ESC/POS;", nullptr},
};

namespace {

// PWG 5101.1 names: the 58 mm roll at the PPD's fixed lengths, and the
// custom range of the roll.
const char* const kMedia[] = {
    "om_58x80mm_58x80mm",   "om_58x100mm_58x100mm", "om_58x150mm_58x150mm", "om_58x210mm_58x210mm",
    "om_58x297mm_58x297mm", "roll_max_58x1000mm",   "roll_min_58x25mm",
};
// Blank rows at a job's end are trimmed, and every page's blank tail but
// the gap between receipts (page-length), so a long page costs no paper.
const char* const kDefaultMedia = "om_58x297mm_58x297mm";
constexpr int kMarginLeftRight = 500;  // hundredths of mm

// A 16x16 ordered dither: grey levels spread evenly, pure black and white
// kept as they are.
void FillDither(pappl_dither_t& dither) {
    for (unsigned y = 0; y < 16; ++y)
        for (unsigned x = 0; x < 16; ++x) {
            unsigned v = 0, xr = x, yr = x ^ y;
            for (unsigned bit = 0; bit < 4; ++bit) {
                v = (v << 2) | ((yr & 1) << 1) | (xr & 1);
                xr >>= 1;
                yr >>= 1;
            }
            dither[y][x] = static_cast<unsigned char>(v < 255 ? v : 254);
        }
}

// A job and printer option: "content" feeds a page to its last printed row
// and the gap between receipts, "full" feeds it at its full length.
constexpr const char* kPageLength = "page-length";

void Copy(char* to, size_t size, const char* from) { std::snprintf(to, size, "%s", from); }

// Attributes of the printer PAPPL has no field for. A thermal printer has
// one colour and no colour rendering to choose: its rendering intent is
// auto.
void AddPrinterAttributes(pappl_pr_driver_data_t* data, ipp_t** attrs) {
    bool declared = false;
    for (int i = 0; i < data->num_vendor; ++i) declared = declared || !std::strcmp(data->vendor[i], kPageLength);
    if (!declared && data->num_vendor < PAPPL_MAX_VENDOR) data->vendor[data->num_vendor++] = kPageLength;
    if (!attrs) return;
    if (!*attrs) *attrs = ippNew();
    if (!ippFindAttribute(*attrs, "page-length-supported", IPP_TAG_ZERO)) {
        static const char* const kChoices[] = {"content", "full"};
        ippAddStrings(*attrs, IPP_TAG_PRINTER, IPP_CONST_TAG(IPP_TAG_KEYWORD), "page-length-supported", 2, nullptr,
                      kChoices);
        ippAddString(*attrs, IPP_TAG_PRINTER, IPP_CONST_TAG(IPP_TAG_KEYWORD), "page-length-default", nullptr,
                     "content");
    }
    if (!ippFindAttribute(*attrs, "print-rendering-intent-supported", IPP_TAG_ZERO)) {
        ippAddString(*attrs, IPP_TAG_PRINTER, IPP_CONST_TAG(IPP_TAG_KEYWORD), "print-rendering-intent-supported",
                     nullptr, "auto");
        ippAddString(*attrs, IPP_TAG_PRINTER, IPP_CONST_TAG(IPP_TAG_KEYWORD), "print-rendering-intent-default",
                     nullptr, "auto");
    }
}

}  // namespace

bool DriverCallback(pappl_system_t* system, const char* driver_name, const char* device_uri, const char*,
                    pappl_pr_driver_data_t* data, ipp_t** attrs, void*) {
    if (std::strcmp(driver_name, kDrivers[0].name) != 0) return false;
    // PAPPL creates a printer whatever its device; a new one is refused here
    // (a loaded one is stopped instead, see system.cpp).
    const std::string refused = DeviceRefusal(device_uri);
    if (!refused.empty() && system && papplSystemIsRunning(system)) {
        papplLog(system, PAPPL_LOGLEVEL_ERROR, "Printer refused: %s.", refused.c_str());
        return false;
    }
    if (system) AddDocumentFormats(system, data, attrs);
    AddPrinterAttributes(data, attrs);

    data->rstartjob_cb = StartJob;
    data->rstartpage_cb = StartPage;
    data->rwriteline_cb = WriteLine;
    data->rendpage_cb = EndPage;
    data->rendjob_cb = EndJob;
    data->testpage_cb = TestPage;
    data->printfile_cb = PrintRawFile;
    data->identify_cb = Identify;
    data->identify_supported = kIdentifyActions;
    data->identify_default = kIdentifyActions;
    data->has_supplies = true;  // the paper roll (system.cpp): the page printer-supply-info-uri names
    data->format = kRawFormat;

    Copy(data->make_and_model, sizeof data->make_and_model, kDrivers[0].description);
    data->kind = PAPPL_KIND_RECEIPT | PAPPL_KIND_ROLL;
    data->ppm = 10;
    data->orient_default = IPP_ORIENT_PORTRAIT;
    data->color_supported = PAPPL_COLOR_MODE_AUTO | PAPPL_COLOR_MODE_MONOCHROME | PAPPL_COLOR_MODE_BI_LEVEL;
    data->color_default = PAPPL_COLOR_MODE_MONOCHROME;
    data->content_default = PAPPL_CONTENT_AUTO;
    data->quality_default = IPP_QUALITY_NORMAL;
    data->scaling_default = PAPPL_SCALING_AUTO;
    // Clients send 8-bit grey, and PAPPL then hands the driver each page
    // with the client's own header: its size and resolution. The driver
    // makes the plug-in's 1-bit rows itself.
    data->raster_types = PAPPL_PWG_RASTER_TYPE_SGRAY_8;
    data->force_raster_type = PAPPL_PWG_RASTER_TYPE_NONE;
    FillDither(data->gdither);
    FillDither(data->pdither);
    data->duplex = PAPPL_DUPLEX_NONE;
    data->sides_supported = PAPPL_SIDES_ONE_SIDED;
    data->sides_default = PAPPL_SIDES_ONE_SIDED;
    data->finishings = PAPPL_FINISHINGS_NONE;

    data->num_resolution = 1;
    data->x_resolution[0] = data->y_resolution[0] = 203;
    data->x_default = data->y_default = 203;

    data->borderless = false;
    data->left_right = kMarginLeftRight;
    data->bottom_top = 0;
    data->num_media = static_cast<int>(sizeof kMedia / sizeof kMedia[0]);
    for (int i = 0; i < data->num_media; ++i) data->media[i] = kMedia[i];
    data->num_source = 1;
    data->source[0] = "main-roll";
    data->num_type = 1;
    data->type[0] = "continuous";
    data->tracking_supported = PAPPL_MEDIA_TRACKING_CONTINUOUS;

    pappl_media_col_t& ready = data->media_ready[0];
    const pwg_media_t* size = pwgMediaForPWG(kDefaultMedia);
    Copy(ready.size_name, sizeof ready.size_name, kDefaultMedia);
    ready.size_width = size ? size->width : 5800;
    ready.size_length = size ? size->length : 29700;
    ready.left_margin = ready.right_margin = kMarginLeftRight;
    ready.top_margin = ready.bottom_margin = 0;
    Copy(ready.source, sizeof ready.source, "main-roll");
    Copy(ready.type, sizeof ready.type, "continuous");
    ready.tracking = PAPPL_MEDIA_TRACKING_CONTINUOUS;
    data->media_default = ready;
    return true;
}

long PageGapRows(pappl_job_t* job, const pappl_pr_options_t* options) {
    std::string value;
    for (int i = 0; i < options->num_vendor; ++i)
        if (!std::strcmp(options->vendor[i].name, kPageLength)) value = options->vendor[i].value;
    if (value.empty()) {
        if (ipp_t* attrs = papplPrinterGetDriverAttributes(papplJobGetPrinter(job))) {
            if (ipp_attribute_t* attr = ippFindAttribute(attrs, "page-length-default", IPP_TAG_KEYWORD))
                value = ippGetString(attr, 0, nullptr);
            ippDelete(attrs);
        }
    }
    return value == "full" ? -1 : printhost::kPageGapRows;
}

const char* AutoAdd(const char*, const char*, const char* device_id, void*) {
    if (!device_id) return nullptr;
    cups_option_t* pairs = nullptr;
    const int count = papplDeviceParseID(device_id, &pairs);
    const char* make = cupsGetOption("MANUFACTURER", count, pairs);
    if (!make) make = cupsGetOption("MFG", count, pairs);
    const char* model = cupsGetOption("MODEL", count, pairs);
    if (!model) model = cupsGetOption("MDL", count, pairs);
    const bool ours = make && model && !strcasecmp(make, "Oemdll") && !strcasecmp(model, "Raster58");
    cupsFreeOptions(count, pairs);
    return ours ? kDrivers[0].name : nullptr;
}

}  // namespace app
