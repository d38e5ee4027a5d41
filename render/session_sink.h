// A host's way from the renderers to the plug-in: each rendered page
// becomes a page of the session's open document, in 1-bit bands,
// thresholded or, for grey pages, dithered.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "printhost/job_session.h"
#include "render/render.h"

namespace render {

// Grey to the plug-in's 1-bit rows (MSB first, 1 = white): a fixed
// threshold, or Floyd-Steinberg error diffusion carried from row to row.
class Halftone {
public:
    explicit Halftone(bool dither, int threshold = 128);
    // kDots grey dots into kDots / 8 bytes; returns whether any is black.
    bool Row(const std::uint8_t* grey, std::uint8_t* bits);

private:
    bool dither_;
    int threshold_;
    std::vector<int> error_, next_;
};

class SessionSink {
public:
    // `cancelled`, when given, is asked between bands.
    explicit SessionSink(printhost::JobSession& session, std::function<bool()> cancelled = {});
    const Sink& sink() const { return sink_; }
    // Set when the session refused a page or band: its own error.
    const std::string& error() const { return error_; }

private:
    printhost::JobSession& session_;
    std::function<bool()> cancelled_;
    Sink sink_;
    Halftone halftone_{false};
    std::vector<std::uint8_t> band_;
    std::string error_;
};

// A document printed into a session's open document, with its copies.
struct SessionJob {
    std::string path;  // a file, or else the bytes below
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    std::string name;  // for messages
    Format format = Format::kText;
    Options options;
    int copies = 1;
    bool collate = false;  // false: each page repeated for the copies, as CUPS does by default
    std::function<bool()> cancelled;
    std::function<void(int page)> pageStarted;              // may be null
    std::function<void(int page, int copies)> pageDone;     // may be null
};

struct SessionOutcome {
    bool ok = false;
    bool cancelled = false;
    int pages = 0;  // pages printed, copies counted
    std::string why;
};

// The copies share the bound on the session's document.
SessionOutcome PrintToSession(const SessionJob& job, printhost::JobSession& session);

}  // namespace render
