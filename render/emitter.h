// What both renderers share: rows handed to the host's sink within the
// document's bounds on pages, rows and time, and the first failure kept.
#pragma once

#include <chrono>
#include <string>

#include "render/render.h"

namespace render {

class Emitter {
public:
    Emitter(const Options& options, const Sink& sink, Result& result)
        : options_(options), sink_(sink), result_(result), start_(std::chrono::steady_clock::now()) {}

    bool StartPage(bool bilevel) {
        if (result_.pages >= options_.maxPages)
            return Fail("the document has more than " + std::to_string(options_.maxPages) +
                        " pages, the limit for a document");
        if (!Check()) return false;
        ++result_.pages;
        return Call(sink_.startPage(bilevel));
    }

    // Checks the bound before the rows leave.
    bool Rows(const std::uint8_t* rows, int count) {
        if (result_.rows + count > options_.maxRows)
            return Fail("the document is longer than " + std::to_string(options_.maxRows) +
                        " rows of 384 dots, the limit for a document");
        if (!Check()) return false;
        result_.rows += count;
        return Call(sink_.rows(rows, count));
    }

    bool EndPage() { return Call(sink_.endPage()); }

    // Whether the time allowed is not over yet.
    bool Check() {
        if (!result_.error.empty()) return false;
        if (std::chrono::steady_clock::now() - start_ > std::chrono::seconds(options_.maxSeconds))
            return Fail("rendering took longer than " + std::to_string(options_.maxSeconds) +
                        " seconds, the limit for a document");
        return true;
    }

    bool Fail(const std::string& why) {
        if (result_.error.empty()) result_.error = why;
        return false;
    }

private:
    bool Call(bool going) {
        if (!going) {
            result_.stopped = true;
            Fail("stopped by the host");
        }
        return going;
    }

    const Options& options_;
    const Sink& sink_;
    Result& result_;
    std::chrono::steady_clock::time_point start_;
};

}  // namespace render
