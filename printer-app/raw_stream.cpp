#include "printer-app/raw_stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "printer-app/raster_job.h"
#include "printhost/job_session.h"
#include "tools/common/printer_stream.h"

namespace app {

const char kRawFormat[] = "application/vnd.oemdll-rows";

namespace {

constexpr unsigned char kRowCommand[] = {0x1B, 0x2E, 0x01, 0x00, 0x00, 0x01};

bool Refuse(pappl_job_t* job, const std::string& why) {
    return RefuseJob(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, why);
}

// Reads the spooled file through `each` a piece at a time; false when the
// file cannot be read or `each` stops.
template <typename Each>
bool ReadAll(int fd, Each each) {
    std::vector<unsigned char> buffer(65536);
    if (lseek(fd, 0, SEEK_SET) < 0) return false;
    for (;;) {
        const ssize_t got = read(fd, buffer.data(), buffer.size());
        if (got < 0) return false;
        if (got == 0) return true;
        if (!each(buffer.data(), static_cast<size_t>(got))) return false;
    }
}

}  // namespace

bool LooksRaw(const unsigned char* header, size_t size) {
    return size >= sizeof kRowCommand + 2 && std::memcmp(header, kRowCommand, sizeof kRowCommand) == 0;
}

bool PrintRawFile(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t* device) {
    const char* format = papplJobGetFormat(job);
    const char* name = papplJobGetFilename(job);
    // PAPPL hands a document of a type it cannot tell (a file submitted
    // without one, say) to the raw path too: only our stream passes.
    const int fd = name ? open(name, O_RDONLY | O_CLOEXEC) : -1;
    if (fd < 0) return Refuse(job, "cannot read the document");
    tools::StreamDecoder decoder;
    bool ok = ReadAll(fd, [&](const unsigned char* data, size_t size) {
        return decoder.Feed(data, size) && decoder.rows() <= static_cast<std::uint64_t>(printhost::kMaxDocumentRows);
    });
    ok = ok && decoder.Finish();
    std::string why;
    if (decoder.malformed()) {
        why = std::string("the document is not the printer's row stream") +
              (format && std::strcmp(format, kRawFormat) ? std::string(" (it was sent as ") + format + ")" : "") +
              ": " + decoder.Error();
    } else if (decoder.rows() > static_cast<std::uint64_t>(printhost::kMaxDocumentRows)) {
        why = "the stream is over " + std::to_string(printhost::kMaxDocumentRows) +
              " rows, the most one job may print";
    } else if (!ok) {
        why = "cannot read the document";
    } else if (decoder.rows() == 0) {
        why = "the document is empty: no rows to print";
    }
    if (!why.empty()) {
        close(fd);
        return Refuse(job, why);
    }
    papplLogJob(job, PAPPL_LOGLEVEL_DEBUG, "the printer's stream checks: %llu rows",
                static_cast<unsigned long long>(decoder.rows()));
    // Sent again command by command, so that a cancel stops on a row's end.
    std::vector<unsigned char> out;
    bool written = true;
    auto flush = [&]() {
        if (!out.empty() && !papplJobIsCanceled(job)) written = papplDeviceWrite(device, out.data(), out.size()) >= 0;
        out.clear();
        return written && !papplJobIsCanceled(job);
    };
    tools::StreamDecoder rows([&](const std::uint8_t* bits, unsigned dots) {
        out.insert(out.end(), kRowCommand, kRowCommand + sizeof kRowCommand);
        out.push_back(static_cast<unsigned char>(dots & 0xff));
        out.push_back(static_cast<unsigned char>(dots >> 8));
        out.insert(out.end(), bits, bits + (dots + 7) / 8);
        return out.size() < 65536 || flush();
    });
    ok = ReadAll(fd, [&](const unsigned char* data, size_t size) { return rows.Feed(data, size); }) && flush();
    close(fd);
    if (papplJobIsCanceled(job)) return true;
    if (!written) {
        papplJobSetMessage(job, "cannot write to the printer");
        return false;
    }
    if (!ok) return Refuse(job, "cannot read the document");
    papplDeviceFlush(device);
    return true;
}

}  // namespace app
