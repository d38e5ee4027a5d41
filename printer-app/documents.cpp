#include "printer-app/documents.h"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <strings.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "printer-app/driver.h"
#include "printer-app/raster_job.h"
#include "printhost/job_session.h"
#include "render/session_sink.h"

namespace app {

namespace {

constexpr const char* kRawTarget = "image/pwg-raster";
// Text formats a client may name, with the character sets listed; text/plain
// alone is UTF-8. PAPPL keeps the names, not copies.
constexpr const char* kTextFormats[] = {
    "text/plain",
    "text/plain;charset=utf-8",
    "text/plain;charset=windows-1252",
    "text/plain;charset=iso-8859-1",
    "text/plain;charset=iso-8859-15",
    "text/plain;charset=ibm437",
    "text/plain;charset=ibm850",
    "text/plain;charset=ibm00858",
    "text/plain;charset=ibm866",
    "text/plain;charset=windows-1251",
};
constexpr const char* kColumns = "columns";

// The job's "columns", else the printer's default, else 32.
int Columns(pappl_job_t* job, const pappl_pr_options_t* options) {
    for (int i = 0; i < options->num_vendor; ++i)
        if (!std::strcmp(options->vendor[i].name, kColumns)) return std::atoi(options->vendor[i].value);
    int columns = 32;
    if (ipp_t* attrs = papplPrinterGetDriverAttributes(papplJobGetPrinter(job))) {
        if (ipp_attribute_t* attr = ippFindAttribute(attrs, "columns-default", IPP_TAG_INTEGER))
            columns = ippGetInteger(attr, 0);
        ippDelete(attrs);
    }
    return columns;
}

void TakeOptions(pappl_job_t* job, const pappl_pr_options_t* options, const std::string& format,
                 render::Options& out) {
    out.columns = Columns(job, options);
    std::string lower = format;  // MIME parameter names are not case-sensitive
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const size_t charset = lower.find("charset=");
    if (charset != std::string::npos) out.charset = format.substr(charset + 8);
    if (!strcasecmp(out.charset.c_str(), "ibm00858")) out.charset = "ibm858";  // IANA's name, not iconv's
    if (options->print_scaling & PAPPL_SCALING_NONE) {
        out.scaling = render::Scaling::kNone;
    } else if (options->print_scaling & (PAPPL_SCALING_FIT | PAPPL_SCALING_AUTO_FIT)) {
        out.scaling = render::Scaling::kFit;
    } else if (options->print_scaling & PAPPL_SCALING_FILL) {
        out.scaling = render::Scaling::kFill;
    }
    if (options->print_content_optimize & PAPPL_CONTENT_PHOTO) {
        out.optimize = render::ContentOptimize::kPhoto;
    } else if (options->print_content_optimize & PAPPL_CONTENT_TEXT) {
        out.optimize = render::ContentOptimize::kText;
    } else if (options->print_content_optimize & PAPPL_CONTENT_GRAPHIC) {
        out.optimize = render::ContentOptimize::kGraphics;
    }
    if (options->first_page > 1 || (options->last_page > 0 && options->last_page < INT_MAX))
        out.pageRanges.emplace_back(static_cast<int>(options->first_page ? options->first_page : 1),
                                    options->last_page > 0 ? static_cast<int>(options->last_page) : INT_MAX);
}

// The whole job: the spooled file rendered page by page into the plug-in,
// whose stream goes to the device at the document's end.
bool PrintDocument(pappl_job_t* job, pappl_device_t* device, void*) {
    const std::string format = papplJobGetFormat(job) ? papplJobGetFormat(job) : "";
    const char* file = papplJobGetFilename(job);
    std::unique_ptr<pappl_pr_options_t, void (*)(pappl_pr_options_t*)> options(
        papplJobCreatePrintOptions(job, 0, false), papplJobDeletePrintOptions);
    if (!options || !file) return RefuseJob(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "the job has no document");

    render::SessionJob print;
    print.path = file;
    print.format = format.compare(0, 15, "application/pdf") == 0 ? render::Format::kPdf : render::Format::kText;
    TakeOptions(job, options.get(), format, print.options);
    print.copies = options->copies;
    print.collate = true;  // PAPPL's multiple-document-handling: collated copies
    print.cancelled = [job] { return papplJobIsCanceled(job); };
    print.pageDone = [job](int, int copies) { papplJobSetImpressionsCompleted(job, copies); };
    bool warned = false;  // once, not once a copy
    print.options.warn = [job, &warned](const std::string& warning) {
        if (!warned) papplLogJob(job, PAPPL_LOGLEVEL_WARN, "%s", warning.c_str());
        warned = true;
    };

    bool writeFailed = false;
    printhost::HostOptions host;
    host.modulePath = ModulePath();
    host.callbackId = 1;
    host.pageGapRows = PageGapRows(job, options.get());
    host.write = [&](const BYTE* bytes, DWORD size) {
        if (writeFailed || papplJobIsCanceled(job)) return;
        if (papplDeviceWrite(device, bytes, size) < 0) writeFailed = true;
    };
    printhost::JobSession session(host);
    if (!session.Start() || !session.StartDocument(render::kDots))
        return RefuseJob(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "cannot start the plug-in: " + session.result().error);

    const render::SessionOutcome printed = render::PrintToSession(print, session);
    const bool abort = !printed.ok || printed.cancelled;
    const bool ended = session.EndDocument(abort);
    session.Finish();
#ifdef __GLIBC__
    // The renderers' caches are freed by now; glibc keeps the pages unless
    // told, and the server would stay at a large document's size.
    malloc_trim(0);
#endif
    if (!printed.ok)
        return RefuseJob(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR, printed.why);
    if (printed.cancelled) return true;
    if (!ended)
        return RefuseJob(job, PAPPL_JREASON_ABORTED_BY_SYSTEM,
                      "the plug-in failed at the end of the job: " + session.result().error);
    papplDeviceFlush(device);
    if (writeFailed) return RefuseJob(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "cannot write to the printer");
    return true;
}

}  // namespace

void AddDocumentFormats(pappl_system_t* system, pappl_pr_driver_data_t* data, ipp_t** attrs) {
    papplSystemAddMIMEFilter(system, "application/pdf", kRawTarget, PrintDocument, nullptr);
    for (const char* format : kTextFormats)
        papplSystemAddMIMEFilter(system, format, kRawTarget, PrintDocument, nullptr);
    if (!data || !attrs) return;
    bool declared = false;
    for (int i = 0; i < data->num_vendor; ++i) declared = declared || !std::strcmp(data->vendor[i], kColumns);
    if (!declared && data->num_vendor < PAPPL_MAX_VENDOR) data->vendor[data->num_vendor++] = kColumns;
    if (!*attrs) *attrs = ippNew();
    if (!ippFindAttribute(*attrs, "columns-supported", IPP_TAG_ZERO)) {
        static const int kChoices[] = {32, 42, 48};
        ippAddIntegers(*attrs, IPP_TAG_PRINTER, IPP_TAG_INTEGER, "columns-supported", 3, kChoices);
        ippAddInteger(*attrs, IPP_TAG_PRINTER, IPP_TAG_INTEGER, "columns-default", 32);
    }
}

const char* DocumentFormat(const unsigned char* header, std::size_t size) {
    if (size >= 5 && std::memcmp(header, "%PDF-", 5) == 0) return "application/pdf";
    if (size == 0) return nullptr;
    // Text: no control bytes but tab, line feed, form feed, carriage
    // return and escape (point-of-sale text carries printer commands).
    for (std::size_t i = 0; i < size; ++i) {
        const unsigned char c = header[i];
        if ((c < 0x20 && c != '\t' && c != '\n' && c != '\f' && c != '\r' && c != 0x1b) || c == 0x7f)
            return nullptr;
    }
    return "text/plain";
}

}  // namespace app
