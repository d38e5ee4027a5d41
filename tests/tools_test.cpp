// The tools' image reading, halftoning and printer-stream decoding.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/common/image.h"
#include "tools/common/output_file.h"
#include "tools/common/printer_stream.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Raw(const std::string& header, const Bytes& raster) {
    Bytes b = Text(header);
    b.insert(b.end(), raster.begin(), raster.end());
    return b;
}

TEST(ImageDecoding, EveryNetpbmFormatGivesTheSameGreys) {
    // A 3x2 image: black, white, black / white, black, white.
    const std::vector<std::uint8_t> expected = {0, 255, 0, 255, 0, 255};
    struct Case {
        const char* what;
        Bytes bytes;
        bool bilevel;
    };
    const Case cases[] = {
        {"P1", Text("P1\n# comment\n3 2\n1 0 1\n0 1 0\n"), true},
        {"P1 without spaces", Text("P1 3 2 101010"), true},
        {"P4", Raw("P4\n3 2\n", {0xA0, 0x40}), true},
        {"P2", Text("P2\n3 2\n15\n0 15 0\n15 0 15\n"), false},
        {"P5", Raw("P5 3 2 255\n", {0, 255, 0, 255, 0, 255}), false},
        {"P5 16-bit", Raw("P5 3 2 65535\n", {0, 0, 255, 255, 0, 0, 255, 255, 0, 0, 255, 255}), false},
        {"P3", Text("P3 3 2 255\n0 0 0 255 255 255 0 0 0\n255 255 255 0 0 0 255 255 255\n"), false},
        {"P6", Raw("P6 3 2 255\n", {0, 0, 0, 255, 255, 255, 0, 0, 0, 255, 255, 255, 0, 0, 0, 255, 255, 255}), false},
    };
    for (const Case& c : cases) {
        tools::GreyImage image;
        std::string error;
        ASSERT_TRUE(tools::DecodeImage(c.bytes, c.what, image, error)) << c.what << ": " << error;
        EXPECT_EQ(image.width, 3) << c.what;
        EXPECT_EQ(image.height, 2) << c.what;
        EXPECT_EQ(image.grey, expected) << c.what;
        EXPECT_EQ(image.bilevel, c.bilevel) << c.what;
    }
}

TEST(ImageDecoding, ConcatenatedNetpbmImagesAreSeveralPages) {
    Bytes stream = Raw("P5\n2 1\n255\n", {0, 255});
    const Bytes second = Text("\nP2 1 2 1 0 1\n");
    stream.insert(stream.end(), second.begin(), second.end());
    std::vector<tools::GreyImage> images;
    std::string error;
    ASSERT_TRUE(tools::DecodeImages(stream, "doc", images, error)) << error;
    ASSERT_EQ(images.size(), 2u);
    EXPECT_EQ(images[0].grey, (std::vector<std::uint8_t>{0, 255}));
    EXPECT_EQ(images[1].grey, (std::vector<std::uint8_t>{0, 255}));

    const Bytes broken = Text("P2 1 1 1 0\nP5 4 4 255\nab");
    EXPECT_FALSE(tools::DecodeImages(broken, "doc", images, error));
    EXPECT_EQ(error, "doc (image 2) is truncated: the raster needs 16 bytes, 2 are there");
}

TEST(ImageDecoding, PngRoundTripsThroughTheWriter) {
    const std::string path = ::testing::TempDir() + "tools_test_roundtrip.png";
    const std::vector<std::uint8_t> dots = {1, 0, 0, 1, 1, 0};
    std::string error;
    ASSERT_TRUE(tools::WriteDots(path, 3, 2, dots, error)) << error;
    Bytes bytes;
    ASSERT_TRUE(tools::ReadInput(path, bytes, error)) << error;
    tools::GreyImage image;
    ASSERT_TRUE(tools::DecodeImage(bytes, path, image, error)) << error;
    EXPECT_EQ(image.width, 3);
    EXPECT_EQ(image.grey, (std::vector<std::uint8_t>{0, 255, 255, 0, 0, 255}));
    EXPECT_TRUE(image.bilevel);
    std::remove(path.c_str());
}

TEST(ImageDecoding, BadInputIsNamedAndExplained) {
    struct Case {
        Bytes bytes;
        const char* message;
    };
    const Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
    const Case cases[] = {
        {{}, "page.x is empty"},
        {Text("GIF89a"), "page.x is not a PNG, PBM, PGM or PPM image"},
        {Text("P4\n8 2\n\xff"), "page.x is truncated: the raster needs 2 bytes, 1 are there"},
        {Text("P5 4 4 255\n"), "page.x is truncated: the raster needs 16 bytes, 0 are there"},
        {Text("P2 2 2 255 1 2 3"), "page.x is truncated: no sample"},
        {Text("P1 2 2 1 0 1"), "page.x is truncated: the raster ends early"},
        {Text("P5 4"), "page.x is truncated: no height"},
        {Text("P5 0 4 255\n"), "page.x has a zero-sized image (0x4)"},
        {Text("P4 5 0\n"), "page.x has a zero-sized image (5x0)"},
        {Text("P5 100000 100000 255\n"), "page.x is too large (100000x100000)"},
        {Text("P2 1 1 9 10"), "page.x has a sample above its maximum value"},
        {Text("P5 x 4"), "page.x has no valid width"},
        {png, "page.x is truncated: the PNG header needs 33 bytes, 16 are there"},
    };
    for (const Case& c : cases) {
        tools::GreyImage image;
        std::string error;
        EXPECT_FALSE(tools::DecodeImage(c.bytes, "page.x", image, error)) << c.message;
        EXPECT_EQ(error.rfind(c.message, 0), 0u) << "got: " << error;
    }
}

TEST(ImageDecoding, MissingFileIsNamed) {
    Bytes bytes;
    std::string error;
    EXPECT_FALSE(tools::ReadInput("/nonexistent/page.png", bytes, error));
    EXPECT_EQ(error.rfind("cannot open /nonexistent/page.png: ", 0), 0u) << error;
}

std::string FileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(OutputFile, AFileChangesOnlyAtTheCommit) {
    const std::string path = ::testing::TempDir() + "tools_test_output.prn";
    std::ofstream(path, std::ios::binary) << "earlier job";
    std::string error;
    {
        tools::OutputFile dropped;
        ASSERT_TRUE(dropped.Open(path, error)) << error;
        std::fputs("half a job", dropped.file());
        std::fflush(dropped.file());
        EXPECT_EQ(FileText(path), "earlier job");
    }
    EXPECT_EQ(FileText(path), "earlier job") << "an output not committed is discarded";

    tools::OutputFile stream, picture;
    ASSERT_TRUE(stream.Open(path, error)) << error;
    ASSERT_TRUE(picture.Open(path + ".png", error)) << error;
    std::fputs("this job", stream.file());
    std::fputs("its picture", picture.file());
    ASSERT_TRUE(tools::CommitAll({&picture, &stream}, error)) << error;
    EXPECT_EQ(FileText(path), "this job");
    EXPECT_EQ(FileText(path + ".png"), "its picture");
    std::remove(path.c_str());
    std::remove((path + ".png").c_str());
}

TEST(OutputFile, WindowsDeviceNamesAreKnownByName) {
    struct Case {
        const char* path;
        bool device;
    } const cases[] = {
        {"NUL", true},         {"nul", true},           {"NUL.txt", true},      {"COM1", true},
        {"lpt9:", true},       {"C:\\out\\PRN", true},  {"\\\\.\\COM12", true}, {"//./pipe/x", true},
        {"CON.prn", true},     {"COM0", false},         {"COM10", false},       {"NULL", false},
        {"out.prn", false},    {"nul/out.prn", false},  {"LPT", false},         {"CONSOLE", false},
    };
    for (const Case& c : cases) EXPECT_EQ(tools::IsWindowsDeviceName(c.path), c.device) << c.path;
}

size_t BlackDots(const standin::Page& page) {
    size_t n = 0;
    for (std::uint8_t d : page.dots) n += d != 0;
    return n;
}

TEST(Halftone, MidGreyPrintsAboutHalfItsDots) {
    tools::GreyImage grey{200, 100, std::vector<std::uint8_t>(20000, 128), false};
    const size_t diffused = BlackDots(tools::ToPage(grey, tools::Halftone::kDiffusion, 0));
    EXPECT_NEAR(double(diffused) / 20000.0, 0.5, 0.02);

    struct Case {
        int threshold;
        size_t black;
    } const cases[] = {{128, 0}, {129, 20000}, {0, 0}, {256, 20000}};
    for (const Case& c : cases)
        EXPECT_EQ(BlackDots(tools::ToPage(grey, tools::Halftone::kThreshold, c.threshold)), c.black) << c.threshold;

    // A ramp dithers to a density that follows the grey.
    tools::GreyImage ramp{256, 64, {}, false};
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 256; ++x) ramp.grey.push_back(static_cast<std::uint8_t>(x));
    const standin::Page page = tools::ToPage(ramp, tools::Halftone::kDiffusion, 0);
    size_t darkHalf = 0, lightHalf = 0;
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 256; ++x) (x < 128 ? darkHalf : lightHalf) += page.dots[size_t(y * 256 + x)];
    EXPECT_NEAR(double(darkHalf) / (128.0 * 64), 0.75, 0.03);
    EXPECT_NEAR(double(lightHalf) / (128.0 * 64), 0.25, 0.03);
}

TEST(Halftone, BilevelInputKeepsItsDots) {
    tools::GreyImage image{4, 1, {0, 255, 255, 0}, true};
    const standin::Page page = tools::ToPage(image, tools::Halftone::kDiffusion, 0);
    EXPECT_EQ(page.dots, (std::vector<std::uint8_t>{1, 0, 0, 1}));
}

TEST(Halftone, FitScalesToTheWidthKeepingTheAspect) {
    struct Case {
        long width, height, fitHeight;
    } const cases[] = {{768, 100, 50}, {192, 10, 20}, {384, 7, 7}, {1000, 1, 1}, {5100, 6600, 497}};
    for (const Case& c : cases) {
        tools::GreyImage image{c.width, c.height, std::vector<std::uint8_t>(size_t(c.width * c.height), 60), false};
        const tools::GreyImage fitted = tools::ScaleToWidth(image, 384);
        EXPECT_EQ(fitted.width, 384) << c.width;
        EXPECT_EQ(fitted.height, c.fitHeight) << c.width << "x" << c.height;
        for (std::uint8_t g : fitted.grey) ASSERT_EQ(g, 60) << "area averaging keeps a flat grey";
    }
}

Bytes Command(unsigned dots, std::initializer_list<std::uint8_t> data) {
    Bytes b = {0x1B, 0x2E, 0x01, 0x00, 0x00, 0x01, std::uint8_t(dots & 0xFF), std::uint8_t(dots >> 8)};
    for (std::uint8_t d : data) b.push_back(d);
    return b;
}

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(PrinterStream, DecodesRowsOfEveryWidth) {
    const Bytes stream = Join({Command(8, {0x81}), Command(12, {0xFF, 0xF0}), Command(0, {})});
    tools::DecodedStream decoded;
    std::string error;
    ASSERT_TRUE(tools::DecodePrinterStream(stream, decoded, error)) << error;
    ASSERT_EQ(decoded.rows.size(), 3u);
    EXPECT_EQ(decoded.rows[0], (std::vector<std::uint8_t>{1, 0, 0, 0, 0, 0, 0, 1}));
    EXPECT_EQ(decoded.rows[1], (std::vector<std::uint8_t>(12, 1)));
    EXPECT_TRUE(decoded.rows[2].empty());
    EXPECT_EQ(decoded.width, 12);
    EXPECT_EQ(decoded.dataBytes, 3u);
    EXPECT_EQ(decoded.streamBytes, stream.size());
}

TEST(PrinterStream, FirstMalformedCommandIsReportedByOffset) {
    Bytes badByte = Command(8, {0});
    badByte[3] = 0x07;
    struct Case {
        Bytes stream;
        const char* error;
    };
    const Case cases[] = {
        {Join({Command(8, {0}), badByte}), "at byte 9 (command 2): header byte 3 is 0x07, expected 0x00"},
        {Join({Command(8, {0}), Command(385, {})}), "at byte 9 (command 2): dot count 385 is wider than the printer's 384"},
        {Join({Command(8, {0}), Command(16, {0})}), "at byte 9 (command 2): truncated row: 16 dots need 2 bytes, 1 left"},
        {Join({Command(8, {0}), Bytes{0x1B, 0x2E, 0x01}}), "at byte 9 (command 2): truncated header, 3 of 8 bytes"},
        {Bytes{0x1A}, "at byte 0 (command 1): truncated header, 1 of 8 bytes"},
    };
    for (const Case& c : cases) {
        tools::DecodedStream decoded;
        std::string error;
        EXPECT_FALSE(tools::DecodePrinterStream(c.stream, decoded, error));
        EXPECT_EQ(error, c.error);
    }
}

}  // namespace
