// The GPD reader, and jobs run the way the shipped GPD (or an edited copy)
// makes Unidrv run them, checked against the independent stream model.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "standin/host/gpd.h"
#include "standin/host/print_job.h"
#include "tests/support/stream_model.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace {

using standin::Document;
using standin::GpdSetup;
using standin::Page;
using testsupport::MakePage;

std::string Shipped() {
    std::ifstream in(RASTER58_GPD, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string Edited(std::string text, const std::string& from, const std::string& to) {
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

int LineOf(const std::string& text, const std::string& what) {
    return 1 + static_cast<int>(std::count(text.begin(), text.begin() + text.find(what), '\n'));
}

bool SetupFrom(const std::string& text, const std::string& paper, GpdSetup& setup, std::string& error) {
    standin::Gpd gpd;
    return standin::ParseGpd(text, "raster58.gpd", ".", gpd, error) &&
           standin::SetupFromGpd(gpd, paper, setup, error);
}

// The page as the surface holds it: cut or padded to the printable area.
Page Fit(const Page& page, LONG width, LONG height) {
    Page out;
    out.width = width;
    out.height = height;
    out.dots.assign(static_cast<size_t>(width) * height, 0);
    for (LONG y = 0; y < height && y < page.height; ++y)
        for (LONG x = 0; x < width && x < page.width; ++x)
            out.dots[static_cast<size_t>(y) * width + x] = page.Black(x, y) ? 1 : 0;
    return out;
}

TEST(Gpd, ShippedGpdKeepsUnidrvOutOfTheStream) {
    const struct {
        const char* paper;
        LONG height, maxHeight;
    } kPapers[] = {{"", 1678, 1678}, {"Roll58x100", 799, 799}, {"Roll58x297", 2374, 2374}, {"CUSTOMSIZE", 240, 7992}};
    for (const auto& p : kPapers) {
        SCOPED_TRACE(p.paper);
        GpdSetup setup;
        std::string error;
        ASSERT_TRUE(standin::LoadGpdSetup(RASTER58_GPD, p.paper, setup, error)) << error;
        EXPECT_EQ(setup.width, 384);
        EXPECT_EQ(setup.dpiX, 203);
        EXPECT_EQ(setup.height, p.height);
        EXPECT_EQ(setup.maxHeight, p.maxHeight);
        EXPECT_EQ(setup.drvBpp, 1u);
        EXPECT_EQ(setup.devBpp, 0u);
        EXPECT_EQ(setup.devPlanes, 0u);
        EXPECT_EQ(setup.ipCallbackId, 1u);
        EXPECT_FALSE(setup.spaceForXMove);
        EXPECT_EQ(setup.papers.size(), 4u);
        for (const standin::GpdCommand& c : setup.commands) {
            EXPECT_TRUE(c.callback && c.bytes.empty()) << c.name;
        }
        ASSERT_EQ(setup.notes.size(), 1u);  // StdNames.gpd, which Windows has
        EXPECT_NE(setup.notes[0].find("raster58.gpd:12: *Include StdNames.gpd"), std::string::npos) << setup.notes[0];
    }
}

TEST(Gpd, ErrorsNameTheFileAndLine) {
    const struct {
        const char* what;
        const char* from;
        const char* to;
        const char* at;  // the text on the line reported
        const char* says;
    } kErrors[] = {
        {"a brace closing nothing", "*Feature: ColorMode", "}\n*Feature: ColorMode", "}\n*Feature: ColorMode",
         "'}' closes no open brace"},
        {"a brace never closed", "*Feature: ColorMode", "*Feature: Extra\n{\n*Feature: ColorMode", "{\n*Feature: ColorMode",
         "'{' is never closed"},
        {"an attribute without a value", "*DrvBPP: 1", "*DrvBPP:", "*DrvBPP:", "*DrvBPP has no value"},
        {"a colour mode without a callback", "*IPCallbackID: 1", "*% none", "*Option: Mono",
         "colour mode Mono has no *IPCallbackID"},
        {"an unterminated string", "*ModelName: \"Raster58", "*ModelName: \"Raster58 \n*% ", "*ModelName",
         "unterminated string"},
        {"a number that is none", "*DrvBPP: 1", "*DrvBPP: one", "*DrvBPP", "*DrvBPP expects a number"},
        {"a command with parameters", "*CallbackID: 10", "*Cmd: \"<1B>J%d[0,255]{Lines}\"", "*Cmd:",
         "command parameters are not run"},
        {"a paper too long", "*PrintableArea: PAIR(384, 1678)", "*PrintableArea: PAIR(384, 999999999)",
         "*Option: Roll58x210", "is too large: 384 x 999999999 dots, the limit is 65536 dots a side"},
        {"an unknown paper", "*DefaultOption: Roll58x210", "*DefaultOption: Roll58x999", "*Feature: PaperSize",
         "has no option Roll58x999"},
    };
    for (const auto& e : kErrors) {
        SCOPED_TRACE(e.what);
        const std::string text = Edited(Shipped(), e.from, e.to);
        GpdSetup setup;
        std::string error;
        ASSERT_FALSE(SetupFrom(text, "", setup, error));
        const std::string where = "raster58.gpd:" + std::to_string(LineOf(text, e.at)) + ": ";
        EXPECT_EQ(error.compare(0, where.size(), where), 0) << error;
        EXPECT_NE(error.find(e.says), std::string::npos) << error;
    }
}

TEST(Gpd, IncludedFileIsReadInPlace) {
    const char* kIncluded = "gpd_test_colour.gpd";
    std::ofstream(kIncluded) << "*Feature: ColorMode\n{\n *DefaultOption: Mono\n *Option: Mono\n {\n"
                                "  *Name: \"Mono\"\n  *DevBPP: 0\n  *IPCallbackID: 7\n }\n}\n";
    const std::string text =
        Edited(Shipped(), "*Feature: ColorMode", std::string("*Include: \"") + kIncluded + "\"\n*Feature: Unused");
    GpdSetup setup;
    std::string error;
    ASSERT_TRUE(SetupFrom(text, "", setup, error)) << error;
    EXPECT_EQ(setup.ipCallbackId, 7u);
    EXPECT_EQ(setup.notes.size(), 1u);
    std::remove(kIncluded);
}

std::string Repeat(const std::string& text, int times) {
    std::string all;
    for (int i = 0; i < times; ++i) all += text;
    return all;
}

// GPDs made to exhaust the reader: each is refused at once, naming the file
// and line, within the reader's bounds.
TEST(Gpd, HostileGpdIsRefusedWithinBounds) {
    namespace fs = std::filesystem;
    const fs::path dir = "gpd_test_hostile";
    fs::remove_all(dir);
    fs::create_directories(dir / "folder");
    auto write = [&](const std::string& name, const std::string& text) {
        std::ofstream(dir / name, std::ios::binary) << text;
    };
    const std::string level = "*Level: 1\n{\n";
    write("nested.gpd", Repeat(level, standin::kMaxGpdNesting) + Repeat("}\n", standin::kMaxGpdNesting));
    write("self.gpd", "*% itself\n*Include: \"self.gpd\"\n");
    write("ping.gpd", "*Include: \"pong.gpd\"\n");
    write("pong.gpd", "*% back\n*Include: \"ping.gpd\"\n");
    // Six levels of eight includes each: 8^6 files read, unbounded.
    for (int i = 0; i < 6; ++i)
        write("fan" + std::to_string(i) + ".gpd", Repeat("*Include: \"fan" + std::to_string(i + 1) + ".gpd\"\n", 8));
    write("fan6.gpd", "*% leaf\n");
    write("large.gpd", std::string(static_cast<size_t>(standin::kMaxGpdBytes), '\n'));
    const std::string include = "*Include: \"StdNames.gpd\"";
    const std::string kShipped = Shipped();
    const int includeLine = LineOf(kShipped, include);
    auto including = [&](const std::string& name) { return Edited(kShipped, include, "*Include: \"" + name + "\""); };
    auto at = [](const std::string& file, int line) { return file + ":" + std::to_string(line) + ": "; };
    const std::string deep = Edited(kShipped, "*Feature: ColorMode",
                                    "*Feature: Deep\n{\n" + Repeat(level, standin::kMaxGpdNesting) +
                                        Repeat("}\n", standin::kMaxGpdNesting + 1) + "*Feature: ColorMode");
    struct Case {
        const char* what;
        std::string text;
        const char* paper;
        std::string where;
        const char* says;
    };
    std::vector<Case> cases = {
        {"blocks nested too deep", deep, "", at("raster58.gpd", LineOf(deep, "*Feature: Deep") + 2 * standin::kMaxGpdNesting + 1),
         "blocks nested deeper than 32"},
        {"blocks nested too deep through an include",
         Edited(kShipped, "*Feature: ColorMode", "*Feature: Deep\n{\n*Include: \"nested.gpd\"\n}\n*Feature: ColorMode"), "",
         at("nested.gpd", 2 * standin::kMaxGpdNesting), "blocks nested deeper than 32"},
        {"a file including itself", including("self.gpd"), "", at("self.gpd", 2), "*Include self.gpd: includes itself"},
        {"two files including each other", including("ping.gpd"), "", at("pong.gpd", 2),
         "*Include ping.gpd: includes itself"},
        {"includes fanning out", including("fan0.gpd"), "", at("fan5.gpd", 5),
         "*Include fan6.gpd: more than 64 includes in all"},
        {"too many bytes in all", including("large.gpd"), "", at("raster58.gpd", includeLine),
         "*Include large.gpd: more than 1048576 bytes of GPD text in all"},
        {"a folder", including("folder"), "", at("raster58.gpd", includeLine), "*Include folder: not a regular file"},
        {"a number past 64 bits", Edited(kShipped, "*PrintableArea: PAIR(384, 1678)", "*PrintableArea: PAIR(384, 90870660461623507)"),
         "", at("raster58.gpd", LineOf(kShipped, "*PrintableArea: PAIR(384, 1678)")),
         "*PrintableArea: 90870660461623507 is out of range"},
        {"a margin doubled past 64 bits", Edited(kShipped, "*MinLeftMargin: 40", "*MinLeftMargin: 4611686018427387904"),
         "CUSTOMSIZE", at("raster58.gpd", LineOf(kShipped, "*MinLeftMargin: 40")), "is out of range"},
        {"a margin subtracted past 64 bits", Edited(kShipped, "*TopMargin: 0", "*TopMargin: -9223372036854775807"),
         "CUSTOMSIZE", at("raster58.gpd", LineOf(kShipped, "*TopMargin: 0")), "is out of range"},
        {"a page longer than the tools take", Edited(kShipped, "*PrintableArea: PAIR(384, 1678)", "*PrintableArea: PAIR(384, 65537)"),
         "", at("raster58.gpd", LineOf(kShipped, "*Option: Roll58x210")), "the limit is 65536 dots a side"},
    };
#ifndef _WIN32
    fs::create_symlink("/dev/zero", dir / "zero.gpd");
    ASSERT_EQ(mkfifo((dir / "fifo.gpd").c_str(), 0600), 0);
    cases.push_back({"a device", including("zero.gpd"), "", at("raster58.gpd", includeLine),
                     "*Include zero.gpd: not a regular file"});
    cases.push_back({"a FIFO", including("fifo.gpd"), "", at("raster58.gpd", includeLine),
                     "*Include fifo.gpd: not a regular file"});
#endif
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        standin::Gpd gpd;
        GpdSetup setup;
        std::string error;
        EXPECT_FALSE(standin::ParseGpd(c.text, "raster58.gpd", dir.string(), gpd, error) &&
                     standin::SetupFromGpd(gpd, c.paper, setup, error));
        EXPECT_EQ(error.compare(0, c.where.size(), c.where), 0) << error;
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
    }
    fs::remove_all(dir);
}

// Each paper size, with pages wider than the printable area, shorter and
// longer than the paper.
TEST(GpdJob, EveryPaperSizePrintsOnlyThePluginsRows) {
    const struct {
        const char* paper;
        std::vector<testsupport::PageSpec> pages;
        LONG length;  // every page's, in rows
    } kJobs[] = {
        {"Roll58x100", {{400, 900, {{0, 30}}, {}, 1}}, 799},
        {"Roll58x210", {{384, 300, {}, {}, 2}, {200, 1700, {{1600, 1700}}, {}, 3}}, 1678},
        {"Roll58x297", {{384, 2374, {{100, 2300}}, {}, 4}}, 2374},
        {"CUSTOMSIZE", {{384, 500, {}, {}, 5}}, 500},
        {"CUSTOMSIZE", {{384, 100, {}, {}, 6}}, 240},
        {"CUSTOMSIZE", {{390, 8100, {{0, 8000}}, {}, 7}}, 7992},
    };
    for (const auto& job : kJobs) {
        SCOPED_TRACE(job.paper);
        GpdSetup setup;
        std::string error;
        ASSERT_TRUE(standin::LoadGpdSetup(RASTER58_GPD, job.paper, setup, error)) << error;
        Document document, printed;
        for (const testsupport::PageSpec& page : job.pages) {
            document.push_back(MakePage(page));
            printed.push_back(Fit(document.back(), 384, job.length));
        }
        standin::JobOptions options;
        options.gpd = &setup;
        options.depth = 24;  // the GPD's depth wins
        const standin::JobResult result = standin::RunJob({document}, options);
        ASSERT_TRUE(result.ok) << result.error;
        EXPECT_TRUE(result.output == testsupport::ModelCapture({printed}));
        EXPECT_EQ(std::count(result.callbacks.begin(), result.callbacks.end(), 12u),
                  static_cast<long>(job.pages.size()));  // a form feed per page
    }
}

// Bytes Unidrv writes itself land in the stream, beside the plug-in's rows.
TEST(GpdJob, UnidrvsOwnBytesLandInTheStream) {
    const Document document{MakePage({384, 64, {}, {}, 8})};
    const testsupport::Stream rows = testsupport::ModelCapture({document});
    const struct {
        const char* what;
        const char* from;
        const char* to;
        testsupport::Stream expected;
    } kCases[] = {
        {"a form feed as bytes", "*CallbackID: 12", "*Cmd: \"<0C>\"", [&] {
             testsupport::Stream s{0x0C};
             s.insert(s.end(), rows.begin(), rows.end());
             return s;
         }()},
        {"a device raster", "*DevBPP: 0", "*DevBPP: 1", [&] {
             testsupport::Stream s = testsupport::ModelFilter({document}, 256);
             s.insert(s.end(), rows.begin(), rows.end());
             return s;
         }()},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.what);
        GpdSetup setup;
        std::string error;
        ASSERT_TRUE(SetupFrom(Edited(Shipped(), c.from, c.to), "CUSTOMSIZE", setup, error)) << error;
        setup.height = 64;
        standin::JobOptions options;
        options.gpd = &setup;
        const standin::JobResult result = standin::RunJob({document}, options);
        ASSERT_TRUE(result.ok) << result.error;
        EXPECT_TRUE(result.output == c.expected);
    }
}

}  // namespace
