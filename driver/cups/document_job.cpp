// Documents other than raster: read whole (poppler reads a PDF at random),
// then rendered straight into the plug-in's document.
#include "driver/cups/document_job.h"

#include <cups/cups.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "render/session_sink.h"

namespace cupsdriver {

namespace {

bool Cancelled(const DocumentJob& job) { return job.cancelled && *job.cancelled; }

}  // namespace

bool ParseOptions(const std::string& options, render::Options& out, std::string& why) {
    cups_option_t* list = nullptr;
    const int count = cupsParseOptions(options.c_str(), 0, &list);
    auto get = [&](const char* name) -> std::string {
        const char* value = cupsGetOption(name, count, list);
        return value ? value : "";
    };
    const std::string columns = get("columns"), wrap = get("wrap"), charset = get("charset");
    const std::string scaling = get("print-scaling"), optimize = get("print-content-optimize");
    const std::string ranges = get("page-ranges");
    cupsFreeOptions(count, list);

    if (columns == "32" || columns == "42" || columns == "48") {
        out.columns = std::stoi(columns);
    } else if (!columns.empty()) {
        why = "columns=" + columns + ": a line has 32, 42 or 48 columns";
        return false;
    }
    if (wrap == "false" || wrap == "no" || wrap == "off") {
        out.wrap = false;
    } else if (!wrap.empty() && wrap != "true" && wrap != "yes" && wrap != "on") {
        why = "wrap=" + wrap + ": wrap is true or false";
        return false;
    }
    if (!charset.empty()) {
        if (!render::KnownCharset(charset)) {
            why = "charset=" + charset + ": not a character set iconv knows";
            return false;
        }
        out.charset = charset;
    }
    if (scaling == "fit" || scaling == "auto-fit") {
        out.scaling = render::Scaling::kFit;
    } else if (scaling == "fill") {
        out.scaling = render::Scaling::kFill;
    } else if (scaling == "none") {
        out.scaling = render::Scaling::kNone;
    } else if (!scaling.empty() && scaling != "auto") {
        why = "print-scaling=" + scaling + ": it is auto, auto-fit, fit, fill or none";
        return false;
    }
    if (optimize == "text") {
        out.optimize = render::ContentOptimize::kText;
    } else if (optimize == "graphics") {
        out.optimize = render::ContentOptimize::kGraphics;
    } else if (optimize == "photo") {
        out.optimize = render::ContentOptimize::kPhoto;
    } else if (!optimize.empty() && optimize != "auto" && optimize != "text-and-graphics") {
        why = "print-content-optimize=" + optimize + ": it is auto, text, graphics or photo";
        return false;
    }
    // page-ranges: "1-3,5,8-"
    for (size_t at = 0; at < ranges.size();) {
        const size_t comma = std::min(ranges.find(',', at), ranges.size());
        const std::string range = ranges.substr(at, comma - at);
        const size_t dash = range.find('-');
        char* end = nullptr;
        const long first = dash == 0 ? 1 : std::strtol(range.c_str(), &end, 10);
        long last = first;
        if (dash != std::string::npos && dash > 0 && *end != '-') {
            last = 0;
        } else if (dash != std::string::npos) {
            const std::string tail = range.substr(dash + 1);
            last = tail.empty() ? INT_MAX : std::strtol(tail.c_str(), &end, 10);
            if (!tail.empty() && *end != '\0') last = 0;
        } else if (!end || *end != '\0') {
            last = 0;
        }
        if (first < 1 || last < first || last > INT_MAX) {
            why = "page-ranges=" + ranges + ": ranges are like 1-3,5,8-";
            return false;
        }
        out.pageRanges.emplace_back(static_cast<int>(first), static_cast<int>(last));
        at = comma + 1;
    }
    return true;
}

bool Collated(const std::string& options) {
    cups_option_t* list = nullptr;
    const int count = cupsParseOptions(options.c_str(), 0, &list);
    const char* value = cupsGetOption("collate", count, list);
    const bool collate = value && (std::strcmp(value, "true") == 0 || std::strcmp(value, "yes") == 0);
    cupsFreeOptions(count, list);
    return collate;
}

DocumentOutcome PrintDocument(const DocumentJob& job, printhost::JobSession& session) {
    DocumentOutcome out;
    render::Options options;
    if (!ParseOptions(job.options, options, out.why)) return out;

    std::vector<std::uint8_t> bytes;
    unsigned char chunk[64 * 1024];
    for (;;) {
        const ssize_t n = job.read(chunk, sizeof chunk);
        if (n == 0) break;
        if (n < 0) {
            out.why = std::string("cannot read the document: ") + std::strerror(errno);
            return out;
        }
        if (static_cast<long long>(bytes.size()) + n > kMaxDocumentBytes) {
            out.why = "the document is larger than " + std::to_string(kMaxDocumentBytes) +
                      " bytes, the limit for a document";
            return out;
        }
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    if (Cancelled(job)) {
        out.ok = out.cancelled = true;
        return out;
    }

    render::SessionJob print;
    print.data = bytes.data();
    print.size = bytes.size();
    print.format = render::Detect(bytes.data(), bytes.size());
    print.name = print.format == render::Format::kPdf ? "the PDF" : "the text";
    print.options = options;
    bool warned = false;  // once, not once a copy
    print.options.warn = [&job, &warned](const std::string& warning) {
        if (!warned) job.log("WARNING: " + warning);
        warned = true;
    };
    print.copies = job.copies;
    print.collate = job.collate;
    print.cancelled = [&job] { return Cancelled(job); };
    print.pageStarted = [&job](int page) { job.log("INFO: Printing page " + std::to_string(page)); };
    print.pageDone = [&job](int page, int copies) {
        job.log("PAGE: " + std::to_string(page) + " " + std::to_string(copies));
    };
    const render::SessionOutcome printed = render::PrintToSession(print, session);
    out.pages = printed.pages;
    out.cancelled = printed.cancelled;
    out.why = printed.why;
    out.ok = printed.ok;
    return out;
}

}  // namespace cupsdriver
