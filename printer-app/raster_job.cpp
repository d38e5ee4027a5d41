#include "printer-app/raster_job.h"

#include <cstring>
#include <memory>
#include <vector>

#include "printer-app/png_check.h"
#include "printhost/job_session.h"

namespace app {

namespace {

constexpr int kResolution = 203;
constexpr unsigned kPrinterDots = 384;
constexpr unsigned kRowBytes = kPrinterDots / 8;
// The 5 mm margin at 203 dpi: raster columns 40 to 423 are dots 0 to 383.
// PAPPL places PNG and JPEG pictures from column 39 (it truncates the
// margin), so for them the dots start there, and a picture as wide as the
// printable width keeps every column.
constexpr unsigned kFirstColumn = 40;
constexpr unsigned kFirstPictureColumn = 39;
constexpr LONG kBandRows = 256;

std::string gModulePath;

// One job's state, from its first page to its end.
struct JobRecord {
    std::unique_ptr<printhost::JobSession> session;
    pappl_job_t* job = nullptr;
    pappl_device_t* device = nullptr;
    std::vector<BYTE> band;  // up to kBandRows rows, 1 = white
    LONG bandRows = 0;
    bool bandBlank = true;
    unsigned pageLines = 0;  // lines received on the current page
    unsigned firstColumn = kFirstColumn;
    bool failed = false;
    bool writeFailed = false;
};

JobRecord* RecordOf(pappl_job_t* job) { return static_cast<JobRecord*>(papplJobGetData(job)); }

// Ends the job as aborted with the reason a client sees.
bool Refuse(JobRecord* record, pappl_job_t* job, pappl_jreason_t reason, const std::string& why) {
    if (record) record->failed = true;
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", why.c_str());
    papplJobSetMessage(job, "%s", why.c_str());
    papplJobSetReasons(job, reason, PAPPL_JREASON_NONE);
    return false;
}

bool FlushBand(JobRecord& record) {
    if (record.bandRows == 0) return true;
    const bool ok = record.session->Band(record.band.data(), record.bandRows, record.bandBlank);
    record.bandRows = 0;
    record.bandBlank = true;
    return ok;
}

// A line of the printer's raster (black = 1 at 1 bit, 0 = black at 8 bits)
// as a band row of the 384 printable dots, white = 1. Returns whether a
// dot is black.
bool PlaceLine(const cups_page_header2_t& header, unsigned first, const unsigned char* line, BYTE* out) {
    std::memset(out, 0xff, kRowBytes);
    bool black = false;
    // 1-bit rows of the full width, the usual case: whole bytes, shifted
    // when the first column is not on a byte boundary.
    if (header.cupsBitsPerPixel == 1 && header.cupsWidth >= first + kPrinterDots + 8) {
        const unsigned char* in = line + first / 8;
        const unsigned shift = first % 8;
        for (unsigned i = 0; i < kRowBytes; ++i) {
            const unsigned char bits =
                shift ? static_cast<unsigned char>((in[i] << shift) | (in[i + 1] >> (8 - shift))) : in[i];
            out[i] = static_cast<BYTE>(~bits);
            black = black || bits != 0;
        }
        return black;
    }
    for (unsigned dot = 0; dot < kPrinterDots; ++dot) {
        const unsigned column = first + dot;
        if (column >= header.cupsWidth) break;
        const bool on = header.cupsBitsPerPixel == 1 ? (line[column / 8] >> (7 - column % 8)) & 1
                                                     : line[column] < 128;
        if (on) {
            out[dot / 8] &= static_cast<BYTE>(~(0x80 >> (dot % 8)));
            black = true;
        }
    }
    return black;
}

// The header PAPPL gives the driver is what it renders into: refuse any
// geometry the plug-in cannot take at its scale.
bool CheckHeader(const cups_page_header2_t& header, std::string& why) {
    if (header.HWResolution[0] != kResolution || header.HWResolution[1] != kResolution) {
        why = "the page is at " + std::to_string(header.HWResolution[0]) + "x" +
              std::to_string(header.HWResolution[1]) + " dpi; the printer prints only at 203 dpi";
        return false;
    }
    const bool bits1 = header.cupsBitsPerPixel == 1 && header.cupsColorSpace == CUPS_CSPACE_K;
    const bool gray8 = header.cupsBitsPerPixel == 8 &&
                       (header.cupsColorSpace == CUPS_CSPACE_SW || header.cupsColorSpace == CUPS_CSPACE_W);
    if (!bits1 && !gray8) {
        why = "the page is " + std::to_string(header.cupsBitsPerPixel) +
              "-bit colour space " + std::to_string(header.cupsColorSpace) +
              "; the printer takes only 1-bit black or 8-bit grey";
        return false;
    }
    return true;
}

}  // namespace

void SetModulePath(const std::string& path) { gModulePath = path; }
const std::string& ModulePath() { return gModulePath; }

bool StartJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device) {
    auto record = std::make_unique<JobRecord>();
    record->job = job;
    record->device = device;
    record->band.assign(static_cast<size_t>(kBandRows) * kRowBytes, 0xff);
    const char* format = papplJobGetFormat(job);
    if (format && (!std::strcmp(format, "image/png") || !std::strcmp(format, "image/jpeg")))
        record->firstColumn = kFirstPictureColumn;

    printhost::HostOptions host;
    host.modulePath = gModulePath;
    host.callbackId = 1;
    host.bandRows = kBandRows;
    JobRecord* raw = record.get();
    // The stream reaches the device only at the document's end; after a
    // cancel or a failed write nothing more goes out.
    host.write = [raw](const BYTE* bytes, DWORD size) {
        if (raw->failed || raw->writeFailed || papplJobIsCanceled(raw->job)) return;
        if (papplDeviceWrite(raw->device, bytes, size) < 0) raw->writeFailed = true;
    };
    record->session = std::make_unique<printhost::JobSession>(host);

    const cups_page_header2_t& h = options->header;
    papplLogJob(job, PAPPL_LOGLEVEL_DEBUG, "page %ux%u, %u-bit, colour space %u, %ux%u dpi, %u pages, %d copies",
                h.cupsWidth, h.cupsHeight, h.cupsBitsPerPixel, h.cupsColorSpace, h.HWResolution[0],
                h.HWResolution[1], options->num_pages, options->copies);
    // Copies of a picture are pages PAPPL repeats: count them against the bound.
    const unsigned long long rows = static_cast<unsigned long long>(h.cupsHeight) * options->num_pages *
                                    static_cast<unsigned>(options->copies > 1 ? options->copies : 1);
    std::string why = TakePngRefusal(papplJobGetID(job));
    pappl_jreason_t reason = PAPPL_JREASON_DOCUMENT_FORMAT_ERROR;
    if (why.empty() && CheckHeader(h, why)) {
        if (rows > static_cast<unsigned long long>(printhost::kMaxDocumentRows)) {
            reason = PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR;
            why = "the job is " + std::to_string(rows) + " rows long, over " +
                  std::to_string(printhost::kMaxDocumentRows) + " rows, the most one job may print";
        } else if (!raw->session->Start() || !raw->session->StartDocument(static_cast<LONG>(kPrinterDots))) {
            reason = PAPPL_JREASON_ABORTED_BY_SYSTEM;
            why = "cannot start the plug-in: " + raw->session->result().error;
        }
    }
    if (!why.empty()) return Refuse(raw, job, reason, why);  // the record goes with this scope
    papplJobSetData(job, record.release());
    return true;
}

bool StartPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t*, unsigned page) {
    JobRecord* record = RecordOf(job);
    if (!record || record->failed) return false;
    std::string why;
    if (!CheckHeader(options->header, why))
        return Refuse(record, job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR,
                      "page " + std::to_string(page) + ": " + why);
    record->pageLines = 0;
    if (!record->session->StartPage())
        return Refuse(record, job, PAPPL_JREASON_ABORTED_BY_SYSTEM, record->session->result().error);
    return true;
}

bool WriteLine(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t*, unsigned,
               const unsigned char* line) {
    JobRecord* record = RecordOf(job);
    if (!record || record->failed) return false;
    if (papplJobIsCanceled(job)) return false;
    BYTE* row = record->band.data() + static_cast<size_t>(record->bandRows) * kRowBytes;
    if (PlaceLine(options->header, record->firstColumn, line, row)) record->bandBlank = false;
    ++record->bandRows;
    ++record->pageLines;
    if (record->bandRows == kBandRows && !FlushBand(*record))
        return Refuse(record, job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR, record->session->result().error);
    return true;
}

bool EndPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t*, unsigned page) {
    JobRecord* record = RecordOf(job);
    if (!record || record->failed) return false;
    if (papplJobIsCanceled(job)) return true;
    // A page cut short arrives here like a whole one.
    if (record->pageLines < options->header.cupsHeight)
        return Refuse(record, job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR,
                      "page " + std::to_string(page) + " is cut short: " + std::to_string(record->pageLines) +
                          " of " + std::to_string(options->header.cupsHeight) + " rows");
    if (!FlushBand(*record) || !record->session->EndPage())
        return Refuse(record, job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR, record->session->result().error);
    return true;
}

bool EndJob(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t* device) {
    std::unique_ptr<JobRecord> record(RecordOf(job));
    papplJobSetData(job, nullptr);
    if (!record) return false;
    papplLogJob(job, PAPPL_LOGLEVEL_DEBUG, "ending the document%s", record->failed ? " (failed)" : "");
    const bool abort = record->failed || papplJobIsCanceled(job);
    bool ok = record->session->EndDocument(abort) && !abort;
    record->session->Finish();
    if (ok) papplDeviceFlush(device);
    if (record->writeFailed) {
        papplJobSetMessage(job, "cannot write to the printer");
        ok = false;
    } else if (!abort && !ok) {
        Refuse(record.get(), job, PAPPL_JREASON_ABORTED_BY_SYSTEM,
               "the plug-in failed at the end of the job: " + record->session->result().error);
    }
    return ok || papplJobIsCanceled(job);
}

}  // namespace app
