// The filter's other job: a PDF or plain-text document, rendered by the
// shared renderers with the job's options and handed to the plug-in's open
// document, as many times as the copies it must make.
#pragma once

#include <sys/types.h>

#include <csignal>
#include <functional>
#include <string>

#include "printhost/job_session.h"
#include "render/render.h"

namespace cupsdriver {

// The most a document may hold: the tools' bound on an input, 256 MiB.
constexpr long long kMaxDocumentBytes = 1LL << 28;

struct DocumentJob {
    // As RasterJob's: the count, 0 at the input's end, -1 on an error.
    std::function<ssize_t(unsigned char* out, size_t bytes)> read;
    std::function<void(const std::string& line)> log;
    const volatile sig_atomic_t* cancelled = nullptr;
    std::string options;  // the filter's options argument
    int copies = 1;  // CUPS's filters make none before this one
    bool collate = false;
};

struct DocumentOutcome {
    bool ok = false;
    bool cancelled = false;
    int pages = 0;  // pages printed, copies counted
    std::string why;
};

// The renderers' options from CUPS job options: columns, wrap, charset,
// print-scaling, print-content-optimize. False, with the reason, for a
// value out of range.
bool ParseOptions(const std::string& options, render::Options& out, std::string& why);

// Whether the options ask for collated copies (collate=true).
bool Collated(const std::string& options);

DocumentOutcome PrintDocument(const DocumentJob& job, printhost::JobSession& session);

}  // namespace cupsdriver
