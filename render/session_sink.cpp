// Rendered pages into a plug-in session.
#include "render/session_sink.h"

#include <algorithm>

namespace render {

Halftone::Halftone(bool dither, int threshold)
    : dither_(dither), threshold_(threshold), error_(kDots + 2, 0), next_(kDots + 2, 0) {}

bool Halftone::Row(const std::uint8_t* grey, std::uint8_t* bits) {
    std::fill(bits, bits + kDots / 8, 0xFF);
    bool black = false;
    if (!dither_) {
        for (int byte = 0; byte < kDots / 8; ++byte) {
            unsigned white = 0;
            for (int i = 0; i < 8; ++i) white = white << 1 | (grey[byte * 8 + i] >= threshold_);
            bits[byte] = static_cast<std::uint8_t>(white);
            black |= white != 0xFF;
        }
        return black;
    }
    // The error of each dot goes 7/16 right, 3/16 down-left, 5/16 down and
    // 1/16 down-right, in sixteenths of a grey level.
    std::fill(next_.begin(), next_.end(), 0);
    for (int x = 0; x < kDots; ++x) {
        const int want = grey[x] * 16 + error_[x + 1];
        const int got = want < 128 * 16 ? 0 : 255 * 16;
        if (got == 0) {
            bits[x >> 3] &= static_cast<std::uint8_t>(~(0x80 >> (x & 7)));
            black = true;
        }
        const int err = want - got;
        error_[x + 2] += err * 7 / 16;
        next_[x] += err * 3 / 16;
        next_[x + 1] += err * 5 / 16;
        next_[x + 2] += err / 16;
    }
    std::swap(error_, next_);
    return black;
}

SessionSink::SessionSink(printhost::JobSession& session, std::function<bool()> cancelled)
    : session_(session), cancelled_(std::move(cancelled)) {
    sink_.startPage = [this](bool bilevel) {
        halftone_ = Halftone(!bilevel);
        if (session_.StartPage()) return true;
        error_ = session_.result().error;
        return false;
    };
    sink_.rows = [this](const std::uint8_t* rows, int count) {
        constexpr size_t stride = kDots / 8;  // a whole number of 32-bit words already, as bands need
        if (cancelled_ && cancelled_()) return false;
        band_.assign(stride * static_cast<size_t>(count), 0xFF);
        bool blank = true;
        for (int y = 0; y < count; ++y)
            if (halftone_.Row(rows + static_cast<size_t>(y) * kDots, band_.data() + stride * y)) blank = false;
        if (session_.Band(band_.data(), count, blank)) return true;
        error_ = session_.result().error;
        return false;
    };
    if (cancelled_) sink_.stop = cancelled_;
    sink_.endPage = [this] {
        if (session_.EndPage()) return true;
        error_ = session_.result().error;
        return false;
    };
}

SessionOutcome PrintToSession(const SessionJob& job, printhost::JobSession& session) {
    SessionOutcome out;
    auto cancelled = [&job] { return job.cancelled && job.cancelled(); };
    SessionSink session_sink(session, cancelled);
    const Sink& plugin = session_sink.sink();
    // Uncollated copies: each page's rows held and handed over once a copy.
    const int copies = job.copies > 1 ? job.copies : 1;
    const bool collate = job.collate || copies == 1;
    const int passes = collate ? copies : 1;
    const int repeats = collate ? 1 : copies;
    std::vector<std::uint8_t> held;
    bool bilevel = true;
    int page = 0;
    Sink sink;
    sink.startPage = [&](bool grey) {
        if (job.pageStarted) job.pageStarted(page + 1);
        ++page;
        bilevel = grey;
        held.clear();
        return repeats > 1 || plugin.startPage(grey);
    };
    sink.rows = [&](const std::uint8_t* rows, int count) {
        if (repeats == 1) return plugin.rows(rows, count);
        if (cancelled()) return false;
        held.insert(held.end(), rows, rows + static_cast<size_t>(count) * kDots);
        return true;
    };
    sink.endPage = [&] {
        if (repeats == 1) {
            if (!plugin.endPage()) return false;
        } else {
            const int count = static_cast<int>(held.size() / kDots);
            for (int copy = 0; copy < repeats; ++copy)
                if (!plugin.startPage(bilevel) || !plugin.rows(held.data(), count) || !plugin.endPage()) return false;
        }
        if (job.pageDone) job.pageDone(page, repeats);
        return true;
    };

    sink.stop = cancelled;

    Options options = job.options;
    long rows = 0;
    for (int pass = 0; pass < passes; ++pass) {
        options.maxRows = (job.options.maxRows - rows) / repeats;
        const Result result = job.path.empty()
                                  ? RenderBytes(job.data, job.size, job.format, options, sink, job.name)
                                  : RenderFile(job.path, job.format, options, sink);
        out.pages += result.pages * repeats;
        rows += result.rows * repeats;
        if (cancelled()) {
            out.ok = out.cancelled = true;
            return out;
        }
        if (!result.ok) {
            out.why = !session_sink.error().empty() ? "the plug-in refused a page: " + session_sink.error()
                                                    : result.error;
            return out;
        }
    }
    out.ok = true;
    return out;
}

}  // namespace render
