#include "lighting/layout.h"

#include <gtest/gtest.h>

#include <memory>

#include "base/command_queue.h"
#include "screen/screen_light.h"

namespace {

class Layout : public ::testing::Test {
protected:
    void Parse(const std::string& text) { ParseLayout(text, {*grid, identity, screen, commands}); }

    size_t QueuedCommands() const { return commands.Size(); }

    std::unique_ptr<KeyGrid> grid = std::make_unique<KeyGrid>();
    LayoutIdentity identity;
    ScreenLight screen;
    CommandQueue commands;
};

TEST(SampleCoordinates, RowTableForEveryRowCount)
{
    const std::vector<std::vector<int>> expected = {
        {33},
        {17, 48},
        {12, 32, 52},
        {9, 24, 39, 54},
        {8, 20, 32, 44, 56},
        {7, 17, 27, 37, 47, 57},
        {6, 14, 22, 30, 38, 46, 54},
        {5, 12, 19, 26, 33, 40, 47, 54},
        {5, 11, 17, 23, 29, 35, 41, 47, 53},
        {5, 11, 17, 23, 29, 35, 41, 47, 53, 59},
    };
    auto grid = std::make_unique<KeyGrid>();
    for (size_t rows = 1; rows <= expected.size(); ++rows) {
        grid->m_nKeyRows = static_cast<int>(rows);
        grid->ComputeSampleCoordinates();
        for (size_t r = 0; r < rows; ++r) {
            EXPECT_EQ(grid->m_rowSample[r], expected[rows - 1][r]) << rows << " rows, row " << r;
        }
    }
}

TEST(SampleCoordinates, ColumnStepsAndNonPositiveSizes)
{
    auto grid = std::make_unique<KeyGrid>();
    for (auto [cols, step] : {std::pair{21, 12}, {22, 11}, {23, 11}, {65, 3}, {100, 2}}) {
        grid->m_nKeyCols = cols;
        grid->ComputeSampleCoordinates();
        EXPECT_EQ(grid->m_colSample[cols - 1], step * (cols - 1)) << cols;
    }
    grid->m_nKeyRows = 0;
    grid->ComputeSampleCoordinates();  // keeps the old coordinates
    EXPECT_EQ(grid->m_colSample[99], 198);
    grid->m_nKeyRows = 6;
    grid->m_nKeyCols = -3;
    grid->ComputeSampleCoordinates();
    EXPECT_EQ(grid->m_colSample[99], 198);
}

TEST_F(Layout, StoresKeysIdentityAndQueuesLighting)
{
    Parse(R"(data={"name":"K\u00e9y","vendorId":1234,"productId":99,"deviceMode":1,)"
          R"("layouts":{"rows":6,"cols":21,"keys":[{"row":5,"col":20,"code":41,"index":3}]}})");
    EXPECT_EQ(grid->Cell(5, 20).keyCode, 41);
    EXPECT_EQ(grid->Cell(5, 20).keyIndex, 3);
    EXPECT_EQ(grid->Cell(5, 20).row, 5);
    EXPECT_EQ(grid->Cell(5, 20).col, 20);
    EXPECT_EQ(grid->m_nKeyRows, 6);
    EXPECT_EQ(grid->m_nKeyCols, 21);
    EXPECT_EQ(grid->m_rowSample[5], 57);
    EXPECT_EQ(grid->m_colSample[20], 240);
    EXPECT_EQ(identity.m_strLayoutName, u"K\u00e9y");
    EXPECT_EQ(identity.m_nVendorId, 1234);
    EXPECT_EQ(identity.m_nProductId, 99);
    EXPECT_EQ(identity.m_nDeviceMode, 1);
    EXPECT_EQ(screen.m_nRows, 6);
    EXPECT_EQ(screen.m_nColumns, 21);
    EXPECT_EQ(commands.Pop(), CMD_START_LIGHTING);
}

TEST_F(Layout, ClampsSizeAndSkipsKeysOutsideTheMatrix)
{
    Parse(R"({"layouts":{"rows":12,"cols":150,"keys":[{"row":10,"col":1,"code":1},{"row":1,"col":-1,"code":1},)"
          R"({"row":1,"col":100,"code":1},{"col":3,"code":1},{"row":9,"col":99,"code":7}]}})");
    EXPECT_EQ(grid->m_nKeyRows, 10);
    EXPECT_EQ(grid->m_nKeyCols, 100);
    EXPECT_EQ(grid->Cell(9, 99).keyCode, 7);
    EXPECT_EQ(grid->Cell(1, 0).keyCode, 0);
    EXPECT_EQ(QueuedCommands(), 1u);
}

TEST_F(Layout, TypedFieldsAndRepeatedCells)
{
    Parse(R"({"layouts":{"rows":6,"cols":21,"keys":[{"row":1,"col":1,"code":"41","index":2},)"
          R"({"row":2,"col":2,"code":5,"index":8},{"row":2,"col":2,"code":6}]}})");
    EXPECT_EQ(grid->Cell(1, 1).keyCode, 0);  // text code: coloured, never sent
    EXPECT_EQ(grid->Cell(1, 1).keyIndex, 2);
    EXPECT_EQ(grid->Cell(2, 2).keyCode, 6);
    EXPECT_EQ(grid->Cell(2, 2).keyIndex, 8);
}

TEST_F(Layout, ConversionErrorKeepsEarlierKeysAndQueuesNothing)
{
    Parse(R"({"layouts":{"rows":6,"cols":21,"keys":[{"row":0,"col":0,"code":3},{"row":"1","col":0,"code":4},)"
          R"({"row":2,"col":0,"code":5}]}})");
    EXPECT_EQ(grid->Cell(0, 0).keyCode, 3);
    EXPECT_EQ(grid->Cell(2, 0).keyCode, 0);
    EXPECT_EQ(QueuedCommands(), 0u);

    Parse(R"([1,2,3])");  // root that is not an object
    EXPECT_EQ(QueuedCommands(), 0u);
    Parse(R"({"layouts":{"rows":"6"}})");
    EXPECT_EQ(grid->m_nKeyRows, 6);
    EXPECT_EQ(QueuedCommands(), 0u);
}

TEST_F(Layout, MalformedJsonClearsCodesAndColoursOnly)
{
    Parse(R"({"layouts":{"rows":6,"cols":21,"keys":[{"row":0,"col":3,"code":3,"index":9}]}})");
    grid->Cell(0, 3).color = 0x123456;
    commands.Pop();
    Parse("{not json");
    EXPECT_EQ(grid->Cell(0, 3).keyCode, 0);
    EXPECT_EQ(grid->Cell(0, 3).color, 0u);
    EXPECT_EQ(grid->Cell(0, 3).keyIndex, 9);
    EXPECT_EQ(grid->m_nKeyRows, 6);
    EXPECT_EQ(QueuedCommands(), 0u);

    Parse("");  // empty text changes nothing, not even the codes
    EXPECT_EQ(grid->Cell(0, 3).keyIndex, 9);
}

TEST_F(Layout, ZeroRowsKeepsOldCoordinatesAndPercentDecodesPlus)
{
    Parse(R"({"layouts":{"rows":6,"cols":21,"keys":[]}})");
    Parse(R"({"name":"a+b","layouts":{"rows":0,"cols":21,"keys":[]}})");
    EXPECT_EQ(grid->m_nKeyRows, 0);
    EXPECT_EQ(grid->m_rowSample[5], 57);
    EXPECT_EQ(identity.m_strLayoutName, u"a b");
}

TEST_F(Layout, MissingMembersReadAsZeroAndNoKeysArrayStopsEarly)
{
    Parse(R"({"name":"x"})");
    EXPECT_EQ(identity.m_nVendorId, 0);
    EXPECT_EQ(grid->m_nKeyRows, 0);
    EXPECT_EQ(grid->m_nKeyCols, 0);
    EXPECT_EQ(QueuedCommands(), 0u);
}

TEST(Utf8ToUtf16, ValidAndInvalidSequences)
{
    EXPECT_EQ(Utf8ToUtf16(""), u"");
    EXPECT_EQ(Utf8ToUtf16("\xe9\x94\xae\xe7\x9b\x98"), u"\u952e\u76d8");
    EXPECT_EQ(Utf8ToUtf16("\xf0\x9f\x8e\xb9"), u"\U0001F3B9");
    EXPECT_EQ(Utf8ToUtf16("a\xff" "b"), u"a\uFFFDb");
    EXPECT_EQ(Utf8ToUtf16("\xe9\x94"), u"\uFFFD\uFFFD");
    EXPECT_EQ(Utf8ToUtf16("\xc0\xaf"), u"\uFFFD\uFFFD");
}

}  // namespace
