// The streaming path through FilterGraphics: which rows go out, how each
// command is built, and what a short write does.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "oemdll/output/row_command.h"
#include "oemdll/server/module.h"
#include "printhost/spool_helper.h"
#include "tests/support/plugin.h"

namespace {

using Bytes = std::vector<BYTE>;

// A block of 48-byte rows (the last may be partial): row r holds the byte
// r + 1 throughout, except the first `blankLeading` rows, which are 0xFF.
Bytes Block(size_t length, size_t blankLeading) {
    Bytes block(length);
    for (size_t i = 0; i < length; ++i) {
        const size_t row = i / 48;
        block[i] = row < blankLeading ? BLANK_BYTE : static_cast<BYTE>(row + 1);
    }
    return block;
}

// The command the printer expects for the k bytes at `pos` of a block.
Bytes Command(const Bytes& block, size_t pos, size_t k) {
    const DWORD dots = static_cast<DWORD>(8 * k);
    Bytes command = {0x1B, 0x2E, 0x01, 0x00, 0x00, 0x01, BYTE(dots & 0xFF), BYTE(dots >> 8)};
    command.insert(command.end(), block.begin() + static_cast<long>(pos), block.begin() + static_cast<long>(pos + k));
    return command;
}

class FilterGraphicsTest : public ::testing::Test {
protected:
    void SetUp() override {
        plugin = testsupport::CreatePlugin();
        ASSERT_NE(plugin, nullptr);
    }
    void TearDown() override {
        EXPECT_EQ(plugin->Release(), 0u);
        EXPECT_EQ(helper.refCount(), 1);
    }

    IPrintOemUni2* plugin = nullptr;
    printhost::SpoolHelper helper;
    DEVOBJ device{};
};

TEST_F(FilterGraphicsTest, SkipsOneRowPerWholeGroupOfEightLeadingBlankRows) {
    struct Case {
        const char* what;
        size_t length, blankLeading;
        size_t firstPos;  // where sending starts
    } const cases[] = {
        {"20 rows, 17 blank", 960, 17, 96},
        {"10 rows, 9 blank", 480, 9, 48},
        {"10 rows, 7 blank", 480, 7, 0},
        {"10 rows, 8 blank", 480, 8, 48},
        {"3 rows, none blank", 144, 0, 0},
        {"all 20 rows blank", 960, 20, 0},
        {"100 bytes, 4-byte tail", 100, 0, 0},
        {"one partial row", 20, 0, 0},
        {"one full row", 48, 0, 0},
        {"24 rows, 16 blank", 1152, 16, 96},
    };
    ASSERT_EQ(plugin->PublishDriverInterface(&helper), S_OK);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        helper.writes.clear();
        helper.writeDevices.clear();
        Bytes block = Block(c.length, c.blankLeading);
        ASSERT_EQ(plugin->FilterGraphics(&device, block.data(), static_cast<DWORD>(block.size())), S_OK);

        std::vector<Bytes> expected;
        for (size_t pos = c.firstPos; pos < c.length; pos += 48)
            expected.push_back(Command(block, pos, c.length - pos < 48 ? c.length - pos : 48));
        ASSERT_EQ(helper.writes.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(helper.writes[i], expected[i]) << "command " << i;
            EXPECT_EQ(helper.writeDevices[i], &device) << "command " << i;
        }
    }
}

TEST_F(FilterGraphicsTest, PartialTailIsSentWithItsOwnDotCount) {
    ASSERT_EQ(plugin->PublishDriverInterface(&helper), S_OK);
    Bytes block(100, BLANK_BYTE);  // the tail is never tested for blank bytes
    ASSERT_EQ(plugin->FilterGraphics(&device, block.data(), 100), S_OK);
    ASSERT_EQ(helper.writes.size(), 3u);
    EXPECT_EQ(helper.writes[0].size(), 56u);
    EXPECT_EQ(helper.writes[1].size(), 56u);
    ASSERT_EQ(helper.writes[2].size(), 12u);
    EXPECT_EQ(helper.writes[2][6], 0x20);
    EXPECT_EQ(helper.writes[2][7], 0x00);
    EXPECT_EQ(helper.writes[0][6], 0x80);
    EXPECT_EQ(helper.writes[0][7], 0x01);
}

TEST_F(FilterGraphicsTest, ShortWriteStopsTheBlock) {
    struct Case {
        const char* what;
        size_t shortCall;  // the write that takes one byte less
        size_t writes;
    } const cases[] = {{"first", 0, 1}, {"second", 1, 2}, {"last", 4, 5}};
    ASSERT_EQ(plugin->PublishDriverInterface(&helper), S_OK);
    Bytes block = Block(5 * 48, 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        helper.writes.clear();
        helper.writeCount = 0;
        helper.takes = [&](size_t call, DWORD offered) { return call == c.shortCall ? offered - 1 : offered; };
        EXPECT_EQ(plugin->FilterGraphics(&device, block.data(), static_cast<DWORD>(block.size())), S_FALSE);
        EXPECT_EQ(helper.writes.size(), c.writes) << "no retry, nothing after the short write";
    }
}

TEST_F(FilterGraphicsTest, WriteThatStoresNoCountIsShort) {
    ASSERT_EQ(plugin->PublishDriverInterface(&helper), S_OK);
    helper.storesCount = false;
    Bytes block = Block(3 * 48, 0);
    EXPECT_EQ(plugin->FilterGraphics(&device, block.data(), static_cast<DWORD>(block.size())), S_FALSE);
    EXPECT_EQ(helper.writes.size(), 1u);
}

TEST_F(FilterGraphicsTest, NothingToSendOrNothingToSendThrough) {
    Bytes block = Block(96, 0);
    EXPECT_EQ(plugin->FilterGraphics(&device, block.data(), 96), E_FAIL) << "no helper published";
    EXPECT_EQ(plugin->FilterGraphics(&device, block.data(), 0), E_FAIL) << "no helper published";

    ASSERT_EQ(plugin->PublishDriverInterface(&helper), S_OK);
    EXPECT_EQ(plugin->FilterGraphics(&device, block.data(), 0), S_OK);
    EXPECT_EQ(plugin->FilterGraphics(&device, nullptr, 0), S_OK);
    EXPECT_EQ(plugin->FilterGraphics(&device, nullptr, 96), E_FAIL);
    EXPECT_EQ(helper.writeCount, 0u);

    plugin->DisableDriver();
    EXPECT_EQ(plugin->FilterGraphics(&device, block.data(), 96), E_FAIL) << "helper released";
    EXPECT_EQ(helper.writeCount, 0u);
}

}  // namespace
