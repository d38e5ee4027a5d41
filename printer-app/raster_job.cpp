#include "printer-app/raster_job.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include <strings.h>

#include "printer-app/driver.h"
#include "printhost/job_session.h"

namespace app {

namespace {

constexpr unsigned kResolution = 203;
constexpr unsigned kRowBytes = kPrinterDots / 8;
// The 58 mm paper at 203 dpi; a page up to this wide is printed at its
// size, a wider one fitted to the dots unless print-scaling is none.
constexpr unsigned kMediaDots = 463;
// PAPPL places PNG and JPEG pictures from column 39 (it truncates the 5 mm
// margin), so for them the dots start there, and a picture as wide as the
// printable width keeps every column.
constexpr long kFirstPictureColumn = 39;
constexpr LONG kBandRows = 256;
// What a page may claim before a row of it is read.
constexpr unsigned kMaxPageSide = 65536;
constexpr unsigned kMinResolution = 50, kMaxResolution = 2400;

std::string gModulePath;

// How one page's pixels become the printer's rows: each of the 384 dots
// averages a run of source columns, each printed row a run of source rows,
// and the average grey is thresholded or dithered.
struct PageMap {
    unsigned width = 0, height = 0;  // the page as it arrives
    bool packed = false;             // 1-bit, 1 = black
    bool inverted = false;           // 8-bit, 255 = black
    unsigned rows = 0;               // printed rows
    long left = 0;                   // the scaled page's column printed as dot 0
    unsigned first[kPrinterDots] = {}, last[kPrinterDots] = {};  // source columns, last exclusive; first == last: white
    bool threshold = false;
    const pappl_dither_t* dither = nullptr;
    bool unscaled = false;           // a source line is a printed row, a column a dot
};

// One job's state, from its first page to its end.
struct JobRecord {
    std::unique_ptr<printhost::JobSession> session;
    pappl_job_t* job = nullptr;
    pappl_device_t* device = nullptr;
    std::vector<BYTE> band;  // up to kBandRows rows, 1 = white
    LONG bandRows = 0;
    bool bandBlank = true;
    bool picture = false;           // PNG or JPEG, placed by PAPPL
    PageMap page;
    unsigned pageLines = 0;         // source lines received on the current page
    unsigned pageRows = 0;          // rows printed of the current page
    std::vector<unsigned> sum;      // per dot, grey summed over the source lines of the row being made
    unsigned summed = 0;
    unsigned long long jobRows = 0;
    bool failed = false;
    bool writeFailed = false;
};

JobRecord* RecordOf(pappl_job_t* job) { return static_cast<JobRecord*>(papplJobGetData(job)); }

bool Refuse(JobRecord* record, pappl_job_t* job, pappl_jreason_t reason, const std::string& why) {
    if (record) record->failed = true;
    return RefuseJob(job, reason, why);
}

bool FlushBand(JobRecord& record) {
    if (record.bandRows == 0) return true;
    const bool ok = record.session->Band(record.band.data(), record.bandRows, record.bandBlank);
    record.bandRows = 0;
    record.bandBlank = true;
    return ok;
}

// The page PAPPL hands over, checked before a row of it is read.
bool CheckHeader(const cups_page_header2_t& header, std::string& why) {
    const unsigned x = header.HWResolution[0], y = header.HWResolution[1];
    if (x < kMinResolution || x > kMaxResolution || y < kMinResolution || y > kMaxResolution) {
        why = "the page is at " + std::to_string(x) + "x" + std::to_string(y) + " dpi; the printer takes " +
              std::to_string(kMinResolution) + " to " + std::to_string(kMaxResolution) + " dpi";
        return false;
    }
    if (header.cupsWidth == 0 || header.cupsWidth > kMaxPageSide || header.cupsHeight == 0 ||
        static_cast<unsigned long long>(header.cupsHeight) * kResolution / y >
            static_cast<unsigned long long>(printhost::kMaxDocumentRows)) {
        why = "the page is " + std::to_string(header.cupsWidth) + "x" + std::to_string(header.cupsHeight) +
              " pixels; a page may be at most " + std::to_string(kMaxPageSide) + " wide and " +
              std::to_string(printhost::kMaxDocumentRows) + " rows long";
        return false;
    }
    const bool bits1 = header.cupsBitsPerPixel == 1 && header.cupsColorSpace == CUPS_CSPACE_K;
    const bool gray8 = header.cupsBitsPerPixel == 8 &&
                       (header.cupsColorSpace == CUPS_CSPACE_SW || header.cupsColorSpace == CUPS_CSPACE_W ||
                        header.cupsColorSpace == CUPS_CSPACE_K);
    if (!bits1 && !gray8) {
        why = "the page is " + std::to_string(header.cupsBitsPerPixel) +
              "-bit colour space " + std::to_string(header.cupsColorSpace) +
              "; the printer takes only 1-bit black or 8-bit grey";
        return false;
    }
    return true;
}

// Lays the page on the dots. A page up to the paper's width is printed at
// 203 dpi, centred on the paper: a 58 mm page's column 40 is dot 0, as the
// CUPS driver and the Windows package place it. A wider page (A6, 4x6 in,
// Letter from clients that offer no 58 mm size) is fitted to the 384 dots,
// or with print-scaling none cut to its middle.
void MapPage(JobRecord& record, const pappl_pr_options_t& options) {
    const cups_page_header2_t& h = options.header;
    PageMap& m = record.page;
    m.width = h.cupsWidth;
    m.height = h.cupsHeight;
    m.packed = h.cupsBitsPerPixel == 1;
    m.inverted = !m.packed && h.cupsColorSpace == CUPS_CSPACE_K;
    const double dotsPerColumn = double(kResolution) / h.HWResolution[0];
    double rowsPerLine = double(kResolution) / h.HWResolution[1];
    unsigned long long scaled = static_cast<unsigned long long>(m.width) * kResolution / h.HWResolution[0];
    if (scaled == 0) scaled = 1;
    if (scaled > kMediaDots && options.print_scaling != PAPPL_SCALING_NONE && !record.picture) {
        rowsPerLine *= double(kPrinterDots) / (m.width * dotsPerColumn);
        scaled = kPrinterDots;
    }
    m.left = record.picture ? kFirstPictureColumn : (static_cast<long>(scaled) - long(kPrinterDots) + 1) / 2;
    m.rows = static_cast<unsigned>(m.height * rowsPerLine + 0.5);
    if (m.rows == 0) m.rows = 1;
    for (unsigned dot = 0; dot < kPrinterDots; ++dot) {
        const long column = long(dot) + m.left;
        m.first[dot] = m.last[dot] = 0;
        if (column < 0 || static_cast<unsigned long long>(column) >= scaled) continue;
        const unsigned long long c = static_cast<unsigned long long>(column);
        m.first[dot] = static_cast<unsigned>(c * m.width / scaled);
        const unsigned end = static_cast<unsigned>((c + 1) * m.width / scaled);
        m.last[dot] = end > m.first[dot] ? end : m.first[dot] + 1;
    }
    m.unscaled = scaled == m.width && m.rows == m.height;
    m.threshold = options.print_color_mode == PAPPL_COLOR_MODE_BI_LEVEL;
    m.dither = &options.dither;
    record.sum.assign(kPrinterDots, 0);
    record.summed = 0;
}

unsigned Grey(const PageMap& m, const unsigned char* line, unsigned x) {
    if (m.packed) return (line[x / 8] >> (7 - x % 8)) & 1 ? 0 : 255;
    return m.inverted ? 255u - line[x] : line[x];
}

// The source line after which printed row `row` is complete.
unsigned LastLine(const PageMap& m, unsigned row) {
    const unsigned long long start = static_cast<unsigned long long>(row) * m.height / m.rows;
    const unsigned long long end = static_cast<unsigned long long>(row + 1) * m.height / m.rows;
    return static_cast<unsigned>((end > start ? end : start + 1) - 1);
}

// A line of an unscaled page straight into a band row; 1-bit lines whole
// bytes at a time, shifted when the first column is not on a byte.
bool PlaceLine(const PageMap& m, unsigned y, const unsigned char* line, BYTE* out) {
    if (m.packed && m.left >= 0 && static_cast<unsigned long>(m.left) + kPrinterDots + 8 <= m.width) {
        const unsigned char* in = line + m.left / 8;
        const unsigned shift = m.left % 8;
        bool black = false;
        for (unsigned i = 0; i < kRowBytes; ++i) {
            const unsigned char bits =
                shift ? static_cast<unsigned char>((in[i] << shift) | (in[i + 1] >> (8 - shift))) : in[i];
            out[i] = static_cast<BYTE>(~bits);
            black = black || bits != 0;
        }
        return black;
    }
    std::memset(out, 0xff, kRowBytes);
    const unsigned char* dither = (*m.dither)[y & 15];
    bool black = false;
    for (unsigned dot = 0; dot < kPrinterDots; ++dot) {
        if (m.first[dot] == m.last[dot]) continue;
        const unsigned limit = m.threshold ? 127 : dither[static_cast<unsigned long>(long(dot) + m.left) & 15];
        if (Grey(m, line, m.first[dot]) <= limit) {
            out[dot / 8] &= static_cast<BYTE>(~(0x80 >> (dot % 8)));
            black = true;
        }
    }
    return black;
}

// Adds one source line; emits every printed row it completes.
bool AddLine(JobRecord& record, unsigned y, const unsigned char* line) {
    const PageMap& m = record.page;
    if (m.unscaled) {
        BYTE* out = record.band.data() + static_cast<size_t>(record.bandRows) * kRowBytes;
        if (PlaceLine(m, y, line, out)) record.bandBlank = false;
        ++record.pageRows;
        return ++record.bandRows < kBandRows || FlushBand(record);
    }
    for (unsigned dot = 0; dot < kPrinterDots; ++dot) {
        unsigned total = 0;
        for (unsigned x = m.first[dot]; x < m.last[dot]; ++x) total += Grey(m, line, x);
        record.sum[dot] += m.last[dot] > m.first[dot] ? total / (m.last[dot] - m.first[dot]) : 255;
    }
    ++record.summed;
    bool emitted = false;
    while (record.pageRows < m.rows && LastLine(m, record.pageRows) == y) {
        BYTE* out = record.band.data() + static_cast<size_t>(record.bandRows) * kRowBytes;
        std::memset(out, 0xff, kRowBytes);
        const unsigned char* dither = (*m.dither)[record.pageRows & 15];
        for (unsigned dot = 0; dot < kPrinterDots; ++dot) {
            const unsigned grey = record.sum[dot] / record.summed;
            const unsigned limit = m.threshold ? 127 : dither[static_cast<unsigned long>(long(dot) + m.left) & 15];
            if (grey <= limit) {
                out[dot / 8] &= static_cast<BYTE>(~(0x80 >> (dot % 8)));
                record.bandBlank = false;
            }
        }
        ++record.pageRows;
        emitted = true;
        if (++record.bandRows == kBandRows && !FlushBand(record)) return false;
    }
    if (emitted) {
        std::fill(record.sum.begin(), record.sum.end(), 0u);
        record.summed = 0;
    }
    return true;
}

}  // namespace

bool RefuseJob(pappl_job_t* job, pappl_jreason_t reason, const std::string& why) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", why.c_str());
    papplJobSetMessage(job, "%s", why.c_str());
    papplJobSetReasons(job, reason, PAPPL_JREASON_NONE);
    return false;
}

void SetModulePath(const std::string& path) { gModulePath = path; }
const std::string& ModulePath() { return gModulePath; }

bool StartJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device) {
    auto record = std::make_unique<JobRecord>();
    record->job = job;
    record->device = device;
    record->band.assign(static_cast<size_t>(kBandRows) * kRowBytes, 0xff);
    const char* format = papplJobGetFormat(job);
    record->picture = format && (!strcasecmp(format, "image/png") || !strcasecmp(format, "image/jpeg"));

    printhost::HostOptions host;
    host.modulePath = gModulePath;
    host.callbackId = 1;
    host.bandRows = kBandRows;
    host.pageGapRows = PageGapRows(job, options);
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
    // Copies of a picture are pages PAPPL repeats: count them against the
    // bound. Raster pages are counted as they come, at their own length.
    const unsigned long long rows = !record->picture ? 0 :
        static_cast<unsigned long long>(h.cupsHeight) * options->num_pages *
            static_cast<unsigned>(options->copies > 1 ? options->copies : 1);
    std::string why;
    pappl_jreason_t reason = PAPPL_JREASON_DOCUMENT_FORMAT_ERROR;
    if (CheckHeader(h, why)) {
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
    // PAPPL hands over each page with the client's own size, a 1-bit one
    // widened to 8-bit grey.
    MapPage(*record, *options);
    papplLogJob(job, PAPPL_LOGLEVEL_DEBUG, "page %u: %ux%u at %ux%u dpi, %u-bit, printed as %u rows from column %ld",
                page, options->header.cupsWidth, options->header.cupsHeight, options->header.HWResolution[0],
                options->header.HWResolution[1], options->header.cupsBitsPerPixel, record->page.rows,
                record->page.left);
    record->jobRows += record->page.rows;
    if (record->jobRows > static_cast<unsigned long long>(printhost::kMaxDocumentRows))
        return Refuse(record, job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR,
                      "the job reaches " + std::to_string(record->jobRows) + " rows at page " + std::to_string(page) +
                          ", over " + std::to_string(printhost::kMaxDocumentRows) +
                          " rows, the most one job may print");
    record->pageLines = 0;
    record->pageRows = 0;
    if (!record->session->StartPage())
        return Refuse(record, job, PAPPL_JREASON_ABORTED_BY_SYSTEM, record->session->result().error);
    return true;
}

bool WriteLine(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*, unsigned, const unsigned char* line) {
    JobRecord* record = RecordOf(job);
    if (!record || record->failed) return false;
    if (papplJobIsCanceled(job)) return false;
    if (record->pageLines >= record->page.height) return true;
    if (!AddLine(*record, record->pageLines++, line))
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
