#include "printhost/job_session.h"

#include <algorithm>

namespace printhost {

struct SessionHost {
    DeviceContext context;
    HookedDdi hooks;
};

JobSession::JobSession(const HostOptions& options) : options_(options), host_(std::make_unique<SessionHost>()) {
    host_->context.result = &result_;
    // Once the session has failed, the plug-in's output is not the job's:
    // the document it ends as aborted goes nowhere.
    if (options.write)
        options_.write = [this, write = options.write](const BYTE* bytes, DWORD size) {
            if (result_.error.empty()) write(bytes, size);
        };
}

JobSession::~JobSession() { Finish(); }

bool JobSession::Start() {
    DeviceContext& host = host_->context;
    if (started_ || finished_) return host.Fail("the session was already started");
    started_ = true;
    return StartUp(host, options_, {"ImageProcessing"}) && host_->hooks.Find(host);
}

bool JobSession::StartDocument(LONG width) {
    DeviceContext& host = host_->context;
    if (!result_.error.empty()) return false;
    if (!started_ || finished_ || inDocument_) return host.Fail("StartDocument out of order");
    if (width < 1) return host.Fail("a document needs a width of at least 1 dot");
    width_ = width;
    documentRows_ = 0;
    heldWhite_ = gapFed_ = 0;
    betweenPages_ = false;
    host.ddi.bandSize = SIZEL{width, options_.bandRows};
    WCHAR name[] = {'j', 'o', 'b', 0};
    if (!host_->hooks.startDoc(&host.surface.surface, name, 1)) return host.Fail("DrvStartDoc returned FALSE");
    inDocument_ = true;
    return true;
}

bool JobSession::StartPage() {
    DeviceContext& host = host_->context;
    if (!result_.error.empty()) return false;
    if (!inDocument_) return host.Fail("StartPage outside a document");
    SURFOBJ* pso = &host.surface.surface;
    if (!host_->hooks.startPage(pso)) return host.Fail("DrvStartPage returned FALSE");
    POINTL origin{0, 0};
    if (!host_->hooks.startBanding(pso, &origin)) return host.Fail("DrvStartBanding returned FALSE");
    top_ = 0;
    return true;
}

namespace {

// Whether a 1-bit row (1 = white) has no black dot among its first `width`.
bool WhiteRow(const BYTE* row, LONG width) {
    const LONG whole = width / 8;
    for (LONG i = 0; i < whole; ++i)
        if (row[i] != 0xFF) return false;
    const int rest = static_cast<int>(width % 8);
    if (rest == 0) return true;
    const BYTE mask = static_cast<BYTE>(0xFF << (8 - rest));
    return (row[whole] & mask) == mask;
}

}  // namespace

bool JobSession::Band(const BYTE* rows, LONG count, bool blank) {
    DeviceContext& host = host_->context;
    if (!result_.error.empty()) return false;
    if (!inDocument_) return host.Fail("Band outside a document");
    if (count < 1) return true;
    if (count > kMaxDocumentRows - documentRows_)
        return host.Fail("the document is over " + std::to_string(kMaxDocumentRows) +
                         " rows, the most one job may print");
    documentRows_ += count;
    if (options_.pageGapRows < 0) return Send(rows, count, blank);

    // The band's own white tail is held with what was held before it; the
    // rows above it end the held white: all of it when it lies within a
    // page, and between pages what the gap has room left for.
    const size_t stride = static_cast<size_t>((width_ + 31) / 32) * 4;
    LONG inked = blank ? 0 : count;
    while (inked > 0 && WhiteRow(rows + static_cast<size_t>(inked - 1) * stride, width_)) --inked;
    LONG first = 0;
    if (betweenPages_)
        while (first < inked && WhiteRow(rows + static_cast<size_t>(first) * stride, width_)) ++first;
    heldWhite_ += first;
    if (inked > first) {
        if (!FeedHeld(betweenPages_ ? options_.pageGapRows - gapFed_ : heldWhite_, false)) return false;
        betweenPages_ = false;
        gapFed_ = 0;
        if (!Send(rows + static_cast<size_t>(first) * stride, inked - first, false)) return false;
    }
    heldWhite_ += count - inked;
    return true;
}

bool JobSession::FeedHeld(LONG room, bool groups, LONG* fed) {
    const LONG over = heldWhite_ - std::max<LONG>(room, 0);
    const LONG dropped = over <= 0 ? 0 : groups ? over / 8 * 8 : over;
    const LONG rows = heldWhite_ - dropped;
    result_.stats.rowsTrimmed += static_cast<size_t>(dropped);
    heldWhite_ = 0;
    if (fed) *fed += rows;
    return SendWhite(rows);
}

bool JobSession::SendWhite(LONG count) {
    if (count < 1) return true;
    const LONG chunk = std::max<LONG>(1, std::min(count, options_.bandRows));
    const size_t stride = static_cast<size_t>((width_ + 31) / 32) * 4;
    if (white_.size() < stride * static_cast<size_t>(chunk)) white_.assign(stride * static_cast<size_t>(chunk), 0xFF);
    for (LONG sent = 0; sent < count; sent += chunk)
        if (!Send(white_.data(), std::min(chunk, count - sent), true)) return false;
    return true;
}

bool JobSession::Send(const BYTE* rows, LONG count, bool blank) {
    DeviceContext& host = host_->context;
    SURFOBJ* pso = &host.surface.surface;
    PERBANDINFO info{};
    if (host_->hooks.bandInfo(pso, &info) == DDI_ERROR) return host.Fail("DrvQueryPerBandInfo returned DDI_ERROR");

    const LONG stride = ((width_ + 31) / 32) * 4;
    BITMAPINFOHEADER header = BandHeader(width_, count, 1, static_cast<DWORD>(stride) * static_cast<DWORD>(count));
    IPPARAMS params{};
    params.dwSize = sizeof params;
    params.ptOffset = POINT{0, top_};
    params.bBanding = TRUE;
    params.bBlankBand = blank ? TRUE : FALSE;
    PBYTE processed = nullptr;
    const HRESULT hr = host.plugin->ImageProcessing(&host.devobj, const_cast<BYTE*>(rows), &header, nullptr,
                                                    options_.callbackId, &params, &processed);
    if (hr != S_OK) return host.Fail("ImageProcessing failed: " + Hex(hr));
    ++result_.stats.bands;
    result_.stats.rowsRendered += static_cast<size_t>(count);
    top_ += count;
    POINTL origin{0, top_};
    if (!host_->hooks.nextBand(pso, &origin)) return host.Fail("DrvNextBand returned FALSE");
    return true;
}

bool JobSession::EndPage() {
    DeviceContext& host = host_->context;
    if (!result_.error.empty()) return false;
    if (!inDocument_) return host.Fail("EndPage outside a document");
    if (options_.pageGapRows >= 0) {
        // The page's white tail, up to the gap, dropped in whole groups of
        // 8 as the plug-in trims the document's end, so that the last
        // page ends as it did untrimmed; the next page's white head gets
        // what is left of the gap.
        betweenPages_ = true;
        if (!FeedHeld(options_.pageGapRows - gapFed_, true, &gapFed_)) return false;
    }
    if (!host_->hooks.sendPage(&host.surface.surface)) return host.Fail("DrvSendPage returned FALSE");
    ++result_.stats.pages;
    return true;
}

bool JobSession::EndDocument(bool aborted) {
    DeviceContext& host = host_->context;
    if (!inDocument_) return result_.error.empty() ? host.Fail("EndDocument outside a document") : false;
    inDocument_ = false;
    const bool abort = aborted || !result_.error.empty();
    const BOOL ended = host_->hooks.endDoc(&host.surface.surface, abort ? kEndDocAbort : 0);
    ++result_.stats.documents;
    if (!ended && result_.error.empty()) return host.Fail("DrvEndDoc returned FALSE");
    return result_.error.empty();
}

const JobResult& JobSession::Finish() {
    if (finished_) return result_;
    finished_ = true;
    DeviceContext& host = host_->context;
    if (inDocument_) EndDocument(true);
    if (started_) ShutDown(host);
    for (const DdiCall& call : host.ddi.calls) result_.hostCalls.push_back(call.function);
    if (!options_.write) result_.stats.bytes = result_.output.size();
    result_.ok = started_ && result_.error.empty();
    return result_;
}

}  // namespace printhost
