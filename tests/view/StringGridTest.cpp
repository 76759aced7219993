#include <QHeaderView>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>
#include <vector>

#include "view/StringGridView.h"

namespace kw {
namespace {

QString hex2(int value) {
    return QString::asprintf("%02X", value);
}

// An image whose byte i is (i * 7 + 3) mod 256: every byte value, no row like its neighbour.
ImageBuffer patternImage(std::int64_t length) {
    ImageBuffer image(length);
    for (std::int64_t i = 0; i < length; ++i)
        image.write(i, static_cast<std::uint8_t>(i * 7 + 3));
    return image;
}

void draw(StringGridModel& grid, const ImageBuffer* image, int size) {
    grid.setGridRowCount(size / 16 + 1);
    grid.fillDump(image, size);
}

TEST(StringGridModel, StartsAsEmptyGrid) {
    StringGridModel grid;
    EXPECT_EQ(grid.gridColumnCount(), 18);
    EXPECT_EQ(grid.gridRowCount(), 100);
    EXPECT_EQ(grid.rowCount(), 99);
    EXPECT_EQ(grid.columnCount(), 17);
    for (int row = 0; row < 100; ++row)
        for (int column = 0; column < 18; ++column)
            ASSERT_EQ(grid.cell(column, row), "") << column << "," << row;
    EXPECT_EQ(grid.columnWidth(0), 24);
    EXPECT_EQ(grid.columnWidth(17), 24);
}

class DumpSizes : public testing::TestWithParam<int> {};

TEST_P(DumpSizes, EveryCellShowsItsByte) {
    const int size = GetParam();
    const ImageBuffer image = patternImage(size);
    StringGridModel grid;
    draw(grid, &image, size);
    ASSERT_EQ(grid.gridRowCount(), size / 16 + 1);
    for (int row = 1; row <= size / 16; ++row) {
        ASSERT_EQ(grid.cell(0, row), QString::asprintf("0x%03X0H", row - 1));
        QString ascii;
        for (int column = 1; column <= 16; ++column) {
            const int byte = (((row - 1) * 16 + column - 1) * 7 + 3) & 0xFF;
            ASSERT_EQ(grid.cell(column, row), hex2(byte)) << column << "," << row;
            ascii += QChar(byte >= 0x21 && byte <= 0x7F ? byte : '.');
        }
        ASSERT_EQ(grid.cell(17, row), ascii) << row;
    }
    // Qt sees the same texts through the model and its headers.
    EXPECT_EQ(grid.headerData(size / 16 - 1, Qt::Vertical, Qt::DisplayRole),
              grid.cell(0, size / 16));
    EXPECT_EQ(grid.data(grid.index(0, 1), Qt::DisplayRole), grid.cell(2, 1));
    EXPECT_EQ(grid.cell(1, size / 16 + 1), ""); // outside the grid
}

INSTANTIATE_TEST_SUITE_P(FlashAndEeprom, DumpSizes, testing::Values(8192, 4096, 256));

TEST(StringGridModel, OffsetsTheImageDoesNotHoldAreBlank) {
    const ImageBuffer image = patternImage(4100);
    StringGridModel grid;
    draw(grid, &image, 8192);
    EXPECT_EQ(grid.cell(0, 257), "0x1000H");
    EXPECT_EQ(grid.cell(4, 257), hex2((4099 * 7 + 3) & 0xFF));
    EXPECT_EQ(grid.cell(5, 257), "");
    EXPECT_EQ(grid.cell(17, 257).size(), 4);
    EXPECT_EQ(grid.cell(1, 512), "");
    EXPECT_EQ(grid.cell(17, 512), "");

    draw(grid, nullptr, 256);
    EXPECT_EQ(grid.cell(0, 16), "0x00F0H");
    EXPECT_EQ(grid.cell(1, 1), "");
    EXPECT_EQ(grid.cell(17, 1), "");
}

TEST(StringGridModel, FillReplacesTypedTextsOfItsRowsOnly) {
    const ImageBuffer image = patternImage(8192);
    const ImageBuffer other = patternImage(256);
    StringGridModel grid;
    grid.setGridRowCount(513);
    grid.setCell(3, 2, "a5");
    grid.setCell(0, 5, "x");
    grid.setCell(2, 0, "01");
    grid.setCell(1, 300, "kept");
    grid.fillDump(&image, 4096);
    EXPECT_EQ(grid.cell(3, 2), hex2((18 * 7 + 3) & 0xFF));
    EXPECT_EQ(grid.cell(0, 5), "0x0040H");
    EXPECT_EQ(grid.cell(2, 0), "01"); // the header row is the caller's
    EXPECT_EQ(grid.cell(1, 300), "kept");

    // A shorter dump leaves the rows below it as they were drawn.
    grid.fillDump(&image, 8192);
    const QString row20 = grid.cell(17, 20);
    grid.fillDump(&other, 16);
    EXPECT_EQ(grid.cell(1, 1), hex2(3));
    EXPECT_EQ(grid.cell(17, 20), row20);
    EXPECT_EQ(grid.cell(0, 20), "0x0130H");

    // Dropped rows come back empty.
    grid.setGridRowCount(10);
    EXPECT_EQ(grid.cell(1, 20), "");
    grid.setGridRowCount(513);
    EXPECT_EQ(grid.cell(17, 20), "");
    EXPECT_EQ(grid.cell(0, 20), "");
    EXPECT_EQ(grid.cell(1, 300), "");
    EXPECT_EQ(grid.cell(1, 1), hex2(3));
}

TEST(StringGridModel, ByteCellIsPendingWhileItsTextIsNotTheStoredByte) {
    const ImageBuffer image = patternImage(4100); // byte 18 is 0x81, byte 19 0x88
    StringGridModel grid;
    draw(grid, &image, 8192);
    const QString asciiBefore = grid.cell(17, 2);

    grid.setCell(3, 2, "8");
    EXPECT_TRUE(grid.isPending(3, 2));
    grid.setCell(3, 2, "81"); // the stored byte, typed again
    EXPECT_FALSE(grid.isPending(3, 2));
    grid.setCell(3, 2, "4a");
    grid.byteStored(18, 0x4A);
    EXPECT_FALSE(grid.isPending(3, 2));
    EXPECT_EQ(grid.cell(3, 2), "4a");
    EXPECT_EQ(grid.cell(17, 2), asciiBefore);

    // A byte stored under a cell that still shows the old one: the text stays, marked.
    grid.byteStored(19, 0x00);
    EXPECT_EQ(grid.cell(4, 2), hex2(0x88));
    EXPECT_TRUE(grid.isPending(4, 2));
    grid.discardTypedText(4, 2);
    EXPECT_EQ(grid.cell(4, 2), "00");
    EXPECT_FALSE(grid.isPending(4, 2));

    // No stored byte behind it: any text is pending. Other columns never are.
    grid.setCell(5, 257, "12");
    EXPECT_TRUE(grid.isPending(5, 257));
    grid.setCell(17, 3, "x");
    grid.setCell(0, 3, "x");
    EXPECT_FALSE(grid.isPending(17, 3));
    EXPECT_FALSE(grid.isPending(0, 3));

    grid.fillDump(&image, 8192); // the image as drawn from the buffer, not the model's copy
    EXPECT_EQ(grid.cell(3, 2), hex2(0x81));
    EXPECT_FALSE(grid.isPending(5, 257));
}

TEST(StringGridModel, FillSignalsOnceNotPerCell) {
    const ImageBuffer image = patternImage(8192);
    StringGridModel grid;
    grid.setGridRowCount(513);
    QSignalSpy changed(&grid, &StringGridModel::dataChanged);
    QSignalSpy reset(&grid, &StringGridModel::modelReset);
    grid.fillDump(&image, 8192);
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(reset.count(), 0);
}

struct Typed {
    char key;
    QString before;
};

class GridView : public testing::Test {
protected:
    GridView() {
        view.grid()->setGridRowCount(17);
        view.grid()->fillDump(&image, 256);
        view.setEditableColumns(1, 16);
        view.onKeyPress = [this](char& key) {
            typed.push_back({key, view.grid()->cell(view.col(), view.row())});
            if (key == 'Z')
                key = 0;
        };
        view.resize(641, 228);
        view.show();
        (void)QTest::qWaitForWindowExposed(&view);
    }
    ImageBuffer image = patternImage(256);
    StringGridView view;
    std::vector<Typed> typed;
};

TEST_F(GridView, HookSeesEachCharacterKeyBeforeTheCell) {
    view.setCurrentCell(2, 1);
    QTest::keyClick(&view, Qt::Key_Backspace);
    QTest::keyClick(&view, Qt::Key_Backspace);
    QTest::keyClicks(&view, "a5Z");
    QTest::keyClick(&view, Qt::Key_Return);
    QTest::keyClick(&view, Qt::Key_Down); // navigation never reaches the hook
    ASSERT_EQ(typed.size(), 6u);
    const std::pair<char, const char*> expected[] = {{8, "0A"},  {8, "0"},    {'a', ""},
                                                     {'5', "a"}, {'Z', "a5"}, {13, "a5"}};
    for (std::size_t i = 0; i < typed.size(); ++i) {
        EXPECT_EQ(typed[i].key, expected[i].first) << i;
        EXPECT_EQ(typed[i].before, expected[i].second) << i;
    }
    EXPECT_EQ(view.grid()->cell(2, 1), "a5");
    EXPECT_EQ(view.row(), 2);
}

TEST_F(GridView, ColumnsNotEditableKeepTheirTextAndCurrentCell) {
    view.setCurrentCell(17, 1);
    const QString ascii = view.grid()->cell(17, 1);
    QTest::keyClicks(&view, "0FA"); // a keyboard search would jump to a cell starting so
    QTest::keyClick(&view, Qt::Key_Backspace);
    EXPECT_EQ(typed.size(), 4u);
    EXPECT_EQ(view.grid()->cell(17, 1), ascii);
    EXPECT_EQ(view.col(), 17);
    EXPECT_EQ(view.row(), 1);
}

TEST_F(GridView, CurrentCellMovesOnlyInsideTheDataCells) {
    QSignalSpy selected(&view, &StringGridView::cellSelected);
    EXPECT_EQ(view.col(), 1);
    EXPECT_EQ(view.row(), 1);
    QTest::keyClick(&view, Qt::Key_Left);
    QTest::keyClick(&view, Qt::Key_Up);
    EXPECT_EQ(selected.count(), 0);
    for (auto [column, row] : {std::pair{0, 3}, {3, 0}, {18, 1}, {1, 17}, {-1, 2}})
        view.setCurrentCell(column, row);
    EXPECT_EQ(view.col(), 1);
    EXPECT_EQ(view.row(), 1);

    QTest::keyClick(&view, Qt::Key_Down);
    QTest::keyClick(&view, Qt::Key_Tab);
    EXPECT_EQ(view.col(), 2);
    EXPECT_EQ(view.row(), 2);
    view.setCurrentCell(17, 3);
    const QRect cell = view.visualRect(view.grid()->index(4, 2));
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, cell.center());
    EXPECT_EQ(view.col(), 3);
    EXPECT_EQ(view.row(), 5);
    EXPECT_EQ(selected.count(), 4);
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, cell.center()); // set again
    view.setCurrentCell(3, 5);
    EXPECT_EQ(selected.count(), 6);
    EXPECT_TRUE(view.selectionModel()->isSelected(view.currentIndex()));

    view.grid()->setGridRowCount(3); // rows under the current cell dropped
    EXPECT_EQ(view.row(), 2);
    EXPECT_TRUE(view.selectionModel()->isSelected(view.currentIndex()));
}

TEST_F(GridView, WidthsComeFromTheModelAndHintIsNoTooltip) {
    view.grid()->setColumnWidth(0, 72);
    view.grid()->setColumnWidth(17, 140);
    EXPECT_EQ(view.verticalHeader()->width(), 72);
    EXPECT_EQ(view.columnWidth(16), 140);
    EXPECT_EQ(view.columnWidth(0), 24);
    view.setProperty("hint", "x: 18");
    EXPECT_EQ(view.hint(), "x: 18");
    EXPECT_EQ(view.toolTip(), "");
}

} // namespace
} // namespace kw
