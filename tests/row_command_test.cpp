// The raster-row command header and the blank-row scans, byte for byte.
#include <gtest/gtest.h>

#include <cstring>
#include <climits>
#include <vector>

#include "oemdll/output/row_command.h"

namespace {

TEST(RowCommand, HeaderCarriesTheDotCountLowByteFirst) {
    struct Case {
        DWORD dots;
        BYTE nL, nH;
    } const cases[] = {{384, 0x80, 0x01}, {300, 0x2C, 0x01}, {32, 0x20, 0x00}, {8, 0x08, 0x00}, {0, 0, 0}};
    for (const Case& c : cases) {
        RowCommand command = MakeRowCommand();
        SetRowDots(command, c.dots);
        const BYTE expected[8] = {0x1B, 0x2E, 0x01, 0x00, 0x00, 0x01, c.nL, c.nH};
        EXPECT_EQ(0, std::memcmp(command.header, expected, 8)) << "dots " << c.dots;
        for (BYTE b : command.data) ASSERT_EQ(b, 0) << "the data area starts zeroed";
    }
}

TEST(RowStride, RoundsToWholeBytesThenToFour) {
    struct Case {
        LONG width;
        LONG stride;
    } const cases[] = {
        {384, 48}, {1, 4}, {8, 4}, {32, 4}, {33, 8}, {300, 40}, {385, 52}, {400, 52},
        {0, 0}, {-1, 0}, {-8, 0}, {INT_MIN, 0}, {INT_MAX, 268435456}, {INT_MAX - 7, 268435456},
    };
    for (const Case& c : cases) EXPECT_EQ(RowStride(c.width), c.stride) << "width " << c.width;
}

// An image of `rows` rows of the given width, all blank except the rows
// listed, which get one black byte at `column`.
std::vector<BYTE> Image(LONG width, LONG rows, std::initializer_list<LONG> inked, LONG column = 0) {
    const LONG stride = RowStride(width);
    std::vector<BYTE> data(static_cast<size_t>(stride * rows), BLANK_BYTE);
    for (LONG r : inked) data[static_cast<size_t>(r * stride + column)] = 0x00;
    return data;
}

TEST(BlankRowScans, CountBlankRowsAtEachEnd) {
    struct Case {
        const char* what;
        LONG width, rows;
        std::vector<BYTE> data;
        LONG leading, trailing;
    };
    const Case cases[] = {
        {"rows 11 and 12 inked of 20", 384, 20, Image(384, 20, {11, 12}), 11, 7},
        {"first and last inked", 384, 5, Image(384, 5, {0, 4}), 0, 0},
        {"one inked row in the middle", 8, 9, Image(8, 9, {4}), 4, 4},
        {"every row blank", 384, 20, Image(384, 20, {}), 0, 0},
        {"single inked row", 1, 1, Image(1, 1, {0}), 0, 0},
        {"ink in the last stride byte", 33, 6, Image(33, 6, {2}, 7), 2, 3},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(LeadingBlankRows(c.width, c.rows, c.data.data()), c.leading) << c.what;
        EXPECT_EQ(TrailingBlankRows(c.width, c.rows, c.data.data()), c.trailing) << c.what;
    }
}

TEST(BlankRowScans, PaddingBytesCount) {
    // A 300-dot row has 38 visible bytes and 2 padding bytes.
    std::vector<BYTE> data = Image(300, 3, {});
    data[40 + 39] = 0xFE;  // padding of row 1
    EXPECT_EQ(LeadingBlankRows(300, 3, data.data()), 1);
    EXPECT_EQ(TrailingBlankRows(300, 3, data.data()), 1);
}

TEST(BlankRowScans, NothingIsReadWithoutRowsOrWidth) {
    const BYTE inked[4] = {0, 0, 0, 0};
    struct Case {
        LONG width, rows;
        const BYTE* data;
    } const cases[] = {
        {384, 0, nullptr}, {384, -5, nullptr}, {0, 10, nullptr}, {-384, 10, nullptr}, {INT_MIN, INT_MAX, nullptr},
        {1, 0, inked},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(LeadingBlankRows(c.width, c.rows, c.data), 0) << c.width << "x" << c.rows;
        EXPECT_EQ(TrailingBlankRows(c.width, c.rows, c.data), 0) << c.width << "x" << c.rows;
    }
}

}  // namespace
