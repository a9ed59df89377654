#include "lighting/layout.h"

#include <gtest/gtest.h>

#include <iterator>
#include <memory>
#include <optional>
#include <vector>

#include "base/command_queue.h"
#include "screen/screen_light.h"

namespace {

class Layout : public ::testing::Test {
protected:
    std::optional<std::string> Parse(const std::string& text)
    {
        return ParseLayout(text, {*grid, identity, screen, commands});
    }

    size_t QueuedCommands() const { return commands.Size(); }

    // Every word a layout may change, in one list to compare.
    std::vector<int64_t> State() const
    {
        std::vector<int64_t> state;
        for (const auto& row : grid->cells) {
            for (const KeyCell& cell : row) {
                state.insert(state.end(), {cell.row, cell.col, cell.keyCode, cell.keyIndex, cell.color});
            }
        }
        state.insert(state.end(), std::begin(grid->m_rowSample), std::end(grid->m_rowSample));
        state.insert(state.end(), std::begin(grid->m_colSample), std::end(grid->m_colSample));
        state.insert(state.end(), {grid->m_nKeyRows, grid->m_nKeyCols, identity.m_nVendorId, identity.m_nProductId,
                                   identity.m_nDeviceMode, screen.m_nRows, screen.m_nColumns,
                                   static_cast<int64_t>(commands.Size())});
        for (const char16_t c : identity.m_strLayoutName) {
            state.push_back(c);
        }
        return state;
    }

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
    grid->Cell(9, 99).color = 0x123456;
    EXPECT_EQ(Parse(R"({"name":"K\u00e9y","vendorId":1234,"productId":99,"deviceMode":1,)"
                    R"("layouts":{"rows":6,"cols":21,"keys":[{"row":5,"col":20,"code":41,"index":3}]}})"),
              std::nullopt);
    EXPECT_EQ(grid->Cell(9, 99).color, 0u);  // every colour is cleared, as every key code
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

TEST_F(Layout, RejectedDocumentChangesNothingAndSaysWhy)
{
    ASSERT_EQ(Parse(R"({"name":"Good","vendorId":7,"productId":8,"deviceMode":1,)"
                    R"("layouts":{"rows":6,"cols":21,"keys":[{"row":0,"col":3,"code":3,"index":9}]}})"),
              std::nullopt);
    grid->Cell(0, 3).color = 0x123456;
    const std::vector<int64_t> before = State();

    // Each document names other ids and a new key before the point where it fails.
    const std::string head = R"({"name":"Bad","vendorId":1,"productId":2,"deviceMode":0,)";
    const struct {
        std::string text;
        std::string reason;
    } cases[] = {
        {head + R"("layouts":{"rows":6,"cols":21,"keys":[{"row":1,"col":1,"code":5})", "not valid JSON at byte"},
        {head + R"("layouts":{"rows":6,"cols":21}, "x":"\q"})", "not valid JSON at byte"},
        {"{not json", "not valid JSON at byte 1:"},
        {head + R"("layouts":{"rows":"6","cols":21,"keys":[]}})", "layouts.rows is not an integer"},
        {head + R"("layouts":{"rows":1e30,"cols":21,"keys":[]}})", "layouts.rows is out of the integer range"},
        {head + R"("layouts":{"rows":6,"cols":21,"keys":[{"row":1,"col":1,"code":5},{"row":2,"col":"2"}]}})",
         "layouts.keys[1].col is not an integer"},
        {head + R"("layouts":{"rows":6,"cols":21,"keys":[{"row":1,"col":1,"code":5},7]}})",
         "layouts.keys[1] is not an object"},
        {head + R"("layouts":[6,21]})", "layouts is not an object"},
        {R"({"name":["Bad"]})", "name is not a string"},
        {"[1,2,3]", "the layout is not a JSON object"},
        {R"({"vendorId":4294967296})", "vendorId is out of the integer range"},
    };
    for (const auto& [text, reason] : cases) {
        const std::optional<std::string> rejection = Parse(text);
        ASSERT_TRUE(rejection.has_value()) << text;
        EXPECT_EQ(rejection->rfind("layout rejected: ", 0), 0u) << *rejection;
        EXPECT_NE(rejection->find(reason), std::string::npos) << text << " gave " << *rejection;
        EXPECT_EQ(State(), before) << text;
    }
}

TEST_F(Layout, ZeroRowsKeepsOldCoordinates)
{
    Parse(R"({"layouts":{"rows":6,"cols":21,"keys":[]}})");
    Parse(R"({"name":"a b","layouts":{"rows":0,"cols":21,"keys":[]}})");
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
