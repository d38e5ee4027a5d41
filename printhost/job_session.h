// A job driven a band at a time, for a host that renders pages as it reads
// them (the CUPS filter, the printer application): the module is loaded,
// the plug-in brought up on one device context, and every page's 1-bit
// bands handed to ImageProcessing, as the universal printer driver does.
#pragma once

#include <memory>
#include <vector>

#include "printhost/device_context.h"

namespace printhost {

struct SessionHost;

// The most rows one document may hold: 268,435,456 dots at the printer's
// 384 a row, the tools' own bound. A document that would pass it is
// refused before the plug-in holds it.
constexpr LONG kMaxDocumentRows = 699050;

// The white fed between two pages' ink when their blank ends are trimmed:
// 4 mm at 203 dpi (to 7 rows more), so that a receipt torn from the next
// one by hand keeps its last line and the next its first.
constexpr LONG kPageGapRows = 32;

// Start, then per document StartDocument, per page StartPage, Band...,
// EndPage, then EndDocument; Finish shuts down. Bands are 1-bit, top row
// first, each row RowStride(width) bytes, 1 = white; they go to
// ImageProcessing with options.callbackId. Once a call fails, the rest
// refuse and result().error says what failed first; a band that would take
// the document past kMaxDocumentRows fails. After a failure nothing more
// reaches options.write. With options.pageGapRows >= 0, white rows are
// held back until ink follows them: those within a page all go on, but
// between the last ink of one page and the first of the next (the page's
// white tail and the next page's white head, both a fixed media length's
// rather than the content's) at most that many, or up to 7 more when the
// tail alone passes it: a tail is dropped in whole groups of 8, as the
// plug-in trims a document's end.
class JobSession {
public:
    explicit JobSession(const HostOptions& options);
    ~JobSession();
    JobSession(const JobSession&) = delete;
    JobSession& operator=(const JobSession&) = delete;

    bool Start();
    bool StartDocument(LONG width);
    bool StartPage();
    bool Band(const BYTE* rows, LONG count, bool blank);
    bool EndPage();
    // Ends the document; an aborted one is ended with the abort flag.
    bool EndDocument(bool aborted);
    const JobResult& Finish();

    const JobResult& result() const { return result_; }

private:
    // Rows to ImageProcessing as one band at the page's current row.
    bool Send(const BYTE* rows, LONG count, bool blank);
    bool SendWhite(LONG count);
    // Feeds the held white rows but those past `room`, which are dropped
    // (in whole groups of 8 with `groups`); adds the rows fed to *fed.
    bool FeedHeld(LONG room, bool groups, LONG* fed = nullptr);

    HostOptions options_;
    JobResult result_;
    std::unique_ptr<SessionHost> host_;
    LONG width_ = 0;
    LONG top_ = 0;
    LONG documentRows_ = 0;
    LONG heldWhite_ = 0;       // white rows since the last ink, not sent yet
    LONG gapFed_ = 0;          // white rows sent since the last ink, at page ends
    bool betweenPages_ = false;  // a page has ended since the last ink
    std::vector<BYTE> white_;
    bool started_ = false;
    bool inDocument_ = false;
    bool finished_ = false;
};

}  // namespace printhost
