// An independent model of the printer stream a job should produce,
// computed from the pages' dots alone.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "standin/host/print_job.h"

namespace testsupport {

using Stream = std::vector<unsigned char>;

inline void PutCommand(Stream& out, unsigned dots, const std::vector<unsigned char>& data) {
    const unsigned char header[8] = {0x1B, 0x2E, 0x01, 0x00, 0x00, 0x01, static_cast<unsigned char>(dots & 0xFF),
                                     static_cast<unsigned char>(dots >> 8)};
    out.insert(out.end(), header, header + 8);
    out.insert(out.end(), data.begin(), data.end());
}

// Whether dot x of document row r is black; rows run through the pages in
// order, each page as wide as the job's widest, white where it is narrower.
struct DocumentRows {
    DocumentRows(const standin::Document& document, long jobWidth) : doc(document), width(jobWidth) {
        for (const standin::Page& p : doc) rows += p.height;
    }
    bool Black(long x, long r) const {
        for (const standin::Page& p : doc) {
            if (r < p.height) return x < p.width && p.Black(static_cast<LONG>(x), static_cast<LONG>(r));
            r -= p.height;
        }
        return false;
    }
    bool Blank(long r) const {
        for (long x = 0; x < width; ++x)
            if (Black(x, r)) return false;
        return true;
    }
    const standin::Document& doc;
    long width;
    long rows = 0;
};

// The capture path: trimmed in groups of 8, clamped to 384, 1 = dot.
inline Stream ModelCapture(const std::vector<standin::Document>& documents) {
    Stream out;
    const long width = standin::SurfaceWidth(documents);
    for (const standin::Document& document : documents) {
        DocumentRows d(document, width);
        long top = 0;
        while (top < d.rows && d.Blank(top)) ++top;
        long bottom = d.rows - 1;
        while (bottom >= 0 && d.Blank(bottom)) --bottom;
        long first = 0, end = d.rows;
        if (top < d.rows) {
            first = top / 8 * 8;
            end = d.rows - (d.rows - 1 - bottom) / 8 * 8;
        }
        const long sendWidth = std::min<long>(d.width, 384);
        const long bytes = (sendWidth + 7) / 8;
        for (long r = first; r < end; ++r) {
            std::vector<unsigned char> data(static_cast<size_t>(bytes), 0);
            for (long x = 0; x < bytes * 8; ++x)
                if (x < d.width && d.Black(x, r)) data[x / 8] |= static_cast<unsigned char>(0x80 >> (x % 8));
            PutCommand(out, static_cast<unsigned>(sendWidth), data);
        }
    }
    return out;
}

// The filter path: per band, one row skipped per 8 leading all-0xFF rows,
// every row sent as 48 bytes with the dot count 384.
inline Stream ModelFilter(const std::vector<standin::Document>& documents, long bandRows) {
    Stream out;
    const long width = standin::SurfaceWidth(documents);
    for (const standin::Document& document : documents) {
        for (const standin::Page& p : document) {
            for (long top = 0; top < p.height; top += bandRows) {
                const long rows = std::min(bandRows, p.height - top);
                std::vector<std::vector<unsigned char>> block;
                for (long y = 0; y < rows; ++y) {
                    std::vector<unsigned char> row(48, 0);
                    for (long x = 0; x < std::min<long>({p.width, width, 384}); ++x)
                        if (p.Black(static_cast<LONG>(x), static_cast<LONG>(top + y)))
                            row[x / 8] |= static_cast<unsigned char>(0x80 >> (x % 8));
                    block.push_back(row);
                }
                long leading = 0;
                while (leading < rows &&
                       std::all_of(block[leading].begin(), block[leading].end(), [](unsigned char b) { return b == 0xFF; }))
                    ++leading;
                if (leading == rows) leading = 0;
                for (long y = leading / 8; y < rows; ++y) PutCommand(out, 384, block[y]);
            }
        }
    }
    return out;
}

// A page with a repeatable pattern of dots, white on the rows listed as
// blank (a half-open range each), black throughout on the rows listed as full.
struct PageSpec {
    long width, height;
    std::vector<std::pair<long, long>> blank;
    std::vector<std::pair<long, long>> full;
    std::uint32_t seed = 1;
};

inline standin::Page MakePage(const PageSpec& shape) {
    standin::Page page;
    page.width = static_cast<LONG>(shape.width);
    page.height = static_cast<LONG>(shape.height);
    page.dots.resize(static_cast<size_t>(shape.width * shape.height));
    std::uint32_t state = shape.seed * 2654435761u + 1;
    for (long y = 0; y < shape.height; ++y) {
        bool blank = false, full = false;
        for (auto [from, to] : shape.blank) blank = blank || (y >= from && y < to);
        for (auto [from, to] : shape.full) full = full || (y >= from && y < to);
        for (long x = 0; x < shape.width; ++x) {
            state = state * 1103515245u + 12345u;
            const bool black = full || (!blank && ((state >> 16) % 3 == 0));
            page.dots[static_cast<size_t>(y * shape.width + x)] = black ? 1 : 0;
        }
    }
    return page;
}

}  // namespace testsupport
