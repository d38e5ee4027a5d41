// Whole jobs through the loaded module and the simulated host, checked
// against the independent stream model.
#include <gtest/gtest.h>

#include "standin/host/print_job.h"
#include "tests/support/stream_model.h"

namespace {

using standin::Document;
using standin::JobOptions;
using standin::OutputPath;
using testsupport::MakePage;
using testsupport::ModelCapture;
using testsupport::ModelFilter;
using testsupport::PageSpec;

struct JobCase {
    const char* what;
    std::vector<std::vector<PageSpec>> documents;
    long bandRows;
};

std::vector<Document> Build(const std::vector<std::vector<PageSpec>>& specs) {
    std::vector<Document> documents;
    for (const auto& pages : specs) {
        Document d;
        for (const PageSpec& p : pages) d.push_back(MakePage(p));
        documents.push_back(d);
    }
    return documents;
}

const JobCase kJobs[] = {
    {"one page", {{{384, 100, {}, {}, 1}}}, 32},
    {"blank rows at both ends", {{{384, 100, {{0, 10}, {90, 100}}, {}, 2}}}, 256},
    {"blank rows under a group of eight", {{{384, 40, {{0, 7}, {33, 40}}, {}, 3}}}, 16},
    {"blank rows inside", {{{384, 60, {{20, 35}}, {}, 4}}}, 7},
    {"three pages", {{{384, 50, {{0, 20}}, {}, 5}, {384, 30, {}, {}, 6}, {384, 45, {{30, 45}}, {}, 7}}}, 16},
    {"width 1", {{{1, 40, {{0, 16}}, {}, 8}}}, 8},
    {"width 8", {{{8, 40, {}, {}, 9}}}, 64},
    {"width 300", {{{300, 30, {}, {}, 10}}}, 64},
    {"width 385", {{{385, 30, {{0, 9}}, {}, 11}}}, 64},
    {"width 400", {{{400, 30, {}, {}, 12}}}, 5},
    {"pages of two widths", {{{200, 20, {}, {}, 13}, {384, 20, {}, {}, 14}}}, 8},
    {"all blank", {{{384, 50, {{0, 50}}, {}, 15}}}, 16},
    {"two documents", {{{384, 40, {{0, 16}}, {}, 16}}, {{300, 24, {}, {}, 17}, {300, 24, {{0, 24}}, {}, 18}}}, 16},
    {"full black rows at the top", {{{384, 40, {}, {{0, 20}}, 19}}}, 40},
};

TEST(PrintJob, CapturePathMatchesTheModel) {
    for (const JobCase& c : kJobs) {
        SCOPED_TRACE(c.what);
        const std::vector<Document> documents = Build(c.documents);
        JobOptions options;
        options.bandRows = static_cast<LONG>(c.bandRows);
        const standin::JobResult result = standin::RunJob(documents, options);
        ASSERT_TRUE(result.ok) << result.error;
        const testsupport::Stream expected = ModelCapture(documents);
        EXPECT_EQ(result.output.size(), expected.size());
        EXPECT_TRUE(result.output == expected);
        EXPECT_EQ(result.stats.bytes, expected.size());
    }
}

TEST(PrintJob, FilterPathMatchesTheModel) {
    for (const JobCase& c : kJobs) {
        SCOPED_TRACE(c.what);
        const std::vector<Document> documents = Build(c.documents);
        JobOptions options;
        options.path = OutputPath::kFilter;
        options.bandRows = static_cast<LONG>(c.bandRows);
        const standin::JobResult result = standin::RunJob(documents, options);
        ASSERT_TRUE(result.ok) << result.error;
        const testsupport::Stream expected = ModelFilter(documents, c.bandRows);
        EXPECT_EQ(result.output.size(), expected.size());
        EXPECT_TRUE(result.output == expected);
    }
}

TEST(PrintJob, HostsWithoutADrvProcsWritePrintThroughTheHelper) {
    const std::vector<Document> documents = Build(kJobs[12].documents);  // two documents
    JobOptions options;
    options.bandRows = 16;
    const standin::JobResult offered = standin::RunJob(documents, options);
    ASSERT_TRUE(offered.ok) << offered.error;
    ASSERT_TRUE(offered.output == ModelCapture(documents));
    for (standin::HostProcs procs : {standin::HostProcs::kNoSpoolWrite, standin::HostProcs::kNone}) {
        SCOPED_TRACE(static_cast<int>(procs));
        options.procs = procs;
        const standin::JobResult result = standin::RunJob(documents, options);
        ASSERT_TRUE(result.ok) << result.error;
        EXPECT_TRUE(result.output == offered.output);
        EXPECT_EQ(result.stats.commands, offered.stats.commands);
    }
}

TEST(PrintJob, HostSeesEveryCallInOrder) {
    const std::vector<Document> documents = Build({{{384, 20, {}, {}, 1}, {384, 10, {}, {}, 2}}});
    JobOptions options;
    options.bandRows = 16;
    const standin::JobResult result = standin::RunJob(documents, options);
    ASSERT_TRUE(result.ok) << result.error;
    const std::vector<ULONG> expected = {
        INDEX_DrvStartDoc,
        INDEX_DrvStartPage, INDEX_DrvStartBanding,
        INDEX_DrvQueryPerBandInfo, INDEX_DrvNextBand, INDEX_DrvQueryPerBandInfo, INDEX_DrvNextBand,
        INDEX_DrvSendPage,
        INDEX_DrvStartPage, INDEX_DrvStartBanding, INDEX_DrvQueryPerBandInfo, INDEX_DrvNextBand,
        INDEX_DrvSendPage,
        INDEX_DrvEndDoc,
    };
    EXPECT_EQ(result.hostCalls, expected);
    EXPECT_EQ(result.stats.pages, 2u);
    EXPECT_EQ(result.stats.bands, 3u);
    EXPECT_EQ(result.stats.commands, 30u);
    const std::vector<std::string> claimed = {"CommandCallback", "FilterGraphics", "ImageProcessing"};
    EXPECT_EQ(result.claimed, claimed);
}

TEST(PrintJob, OtherDepthsPrintNothing) {
    const std::vector<Document> documents = Build({{{384, 40, {}, {}, 1}}});
    for (ULONG depth : {8u, 24u}) {
        JobOptions options;
        options.depth = depth;
        const standin::JobResult result = standin::RunJob(documents, options);
        ASSERT_TRUE(result.ok) << "depth " << depth << ": " << result.error;
        EXPECT_TRUE(result.output.empty()) << "depth " << depth;
        EXPECT_EQ(result.hostCalls.back(), INDEX_DrvEndDoc) << "depth " << depth;
    }
}

TEST(PrintJob, DocumentWithoutBandsOnlyEndsOnTheHost) {
    const standin::JobResult result = standin::RunJob({Document{}}, JobOptions{});
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_TRUE(result.output.empty());
    const std::vector<ULONG> expected = {INDEX_DrvStartDoc, INDEX_DrvEndDoc};
    EXPECT_EQ(result.hostCalls, expected);
}

TEST(PrintJob, ShortWritesOnTheFilterPathStopTheJob) {
    const std::vector<Document> documents = Build({{{384, 32, {}, {}, 1}}});
    JobOptions options;
    options.path = OutputPath::kFilter;
    options.bandRows = 16;
    options.helperTakes = [](size_t call, DWORD offered) { return call == 20 ? offered - 10 : offered; };
    const standin::JobResult result = standin::RunJob(documents, options);
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.error.find("FilterGraphics returned 0x00000001"), std::string::npos) << result.error;
    // The first band whole, then four commands of the second and the part
    // of the fifth that was taken.
    const testsupport::Stream model = ModelFilter(documents, 16);
    ASSERT_EQ(result.output.size(), 20u * 56 + 46);
    EXPECT_TRUE(std::equal(result.output.begin(), result.output.end(), model.begin()));
    EXPECT_EQ(result.hostCalls.back(), INDEX_DrvEndDoc) << "the document is still ended";
}

TEST(PrintJob, MissingModuleIsNamed) {
    JobOptions options;
    options.modulePath = "/nonexistent/plugin.so";
    const standin::JobResult result = standin::RunJob(Build({{{8, 8, {}, {}, 1}}}), options);
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.error.find("/nonexistent/plugin.so"), std::string::npos) << result.error;
}

}  // namespace
