// Typing into the flash grid: the key filter, the alert, the commit, the look of text that is
// not the image, and the address hint.
#include <QImage>
#include <QTest>

#include "support/HexText.h"
#include "support/WindowFixture.h"

namespace {

class GridEditing : public WindowFixture {
protected:
    void SetUp() override {
        WindowFixture::SetUp();
        window->show();
        window->BuffclearClick(); // an erased 8192-byte image on screen
        window->flashGrid->setFocus();
    }
    void select(int column, int row) { window->flashGrid->setCurrentCell(column, row); }
    void type(const char* keys) {
        for (const char* k = keys; *k != '\0'; ++k)
            QTest::keyClick(window->flashGrid, *k);
    }
    void backspace() { QTest::keyClick(window->flashGrid, Qt::Key_Backspace); }
    void enter() { QTest::keyClick(window->flashGrid, Qt::Key_Return); }
    std::uint8_t flashByte(int index) const { return *window->FlashBuf->read(index); }

    // The colours the user sees on a cell: (text, background); invalid where the grid's own.
    std::pair<QColor, QColor> colours(int column, int row) const {
        const auto* cells = window->flashGrid->grid();
        const QModelIndex index = cells->index(row - 1, column - 1);
        const auto colour = [&](int role) {
            const QVariant brush = cells->data(index, role);
            return brush.isValid() ? brush.value<QBrush>().color() : QColor();
        };
        return {colour(Qt::ForegroundRole), colour(Qt::BackgroundRole)};
    }
    bool looksPending(int column, int row) const {
        return colours(column, row) == std::pair{kw::StringGridModel::pendingTextColour(),
                                                 kw::StringGridModel::pendingBackgroundColour()};
    }
};

// Pixels of `colour` within a cell of the grid as drawn, give or take antialiasing.
int pixelsOf(const QImage& image, const QRect& cell, const QColor& colour) {
    int count = 0;
    for (int y = cell.top(); y <= cell.bottom(); ++y)
        for (int x = cell.left(); x <= cell.right(); ++x) {
            const QColor pixel = image.pixelColor(x, y);
            if (std::abs(pixel.red() - colour.red()) + std::abs(pixel.green() - colour.green()) +
                    std::abs(pixel.blue() - colour.blue()) <
                60)
                ++count;
        }
    return count;
}

TEST_F(GridEditing, HintNamesTheBufferAddressOfTheCurrentCell) {
    const QString prefix = QStringLiteral("当前光标操作单元缓冲内存地址：");
    const struct {
        int column, row, index;
    } cells[] = {{1, 1, 0}, {16, 1, 15}, {1, 2, 16}, {3, 2, 18}, {17, 3, 48}, {16, 512, 8191}};
    for (const auto& cell : cells) {
        select(cell.column, cell.row);
        EXPECT_EQ(window->flashGrid->hint(), prefix + QString::number(cell.index))
            << cell.column << "," << cell.row;
    }
    // Keyboard navigation moves the hint too.
    select(1, 1);
    QTest::keyClick(window->flashGrid, Qt::Key_Down);
    EXPECT_EQ(window->flashGrid->hint(), prefix + QStringLiteral("16"));
    EXPECT_TRUE(window->flashGrid->toolTip().isEmpty());
}

TEST_F(GridEditing, FullCellTakesOnlyBackspaceAndEnterSilently) {
    select(2, 1);
    type("A5g ");
    EXPECT_EQ(flashCell(2, 1), QStringLiteral("FF"));
    EXPECT_EQ(prompts->beeps, 0);
}

TEST_F(GridEditing, TypedByteIsStoredOnEnterWithoutARedraw) {
    select(3, 2); // index 18
    backspace();
    backspace();
    EXPECT_EQ(flashCell(3, 2), QString());
    type("a5");
    EXPECT_EQ(flashCell(3, 2), QStringLiteral("a5"));
    EXPECT_EQ(flashByte(18), 0xFF);
    enter();
    EXPECT_EQ(flashByte(18), 0xA5);
    EXPECT_EQ(flashCell(3, 2), QStringLiteral("a5"));
    EXPECT_EQ(flashCell(17, 2), QStringLiteral("................"));
    window->dispbuff->click();
    EXPECT_EQ(flashCell(3, 2), QStringLiteral("A5"));
    EXPECT_EQ(prompts->beeps, 0);
}

TEST_F(GridEditing, TextThatIsNotTheStoredByteLooksDifferentUntilCommittedOrRedrawn) {
    select(2, 1);
    backspace(); // "F", left without Enter
    select(4, 1);
    backspace();
    backspace();
    type("3");
    enter(); // one digit: refused with the alert, still current
    EXPECT_EQ(prompts->beeps, 1);
    EXPECT_EQ(flashCell(2, 1), QStringLiteral("F"));
    EXPECT_EQ(flashCell(4, 1), QStringLiteral("3"));
    EXPECT_TRUE(looksPending(2, 1));
    EXPECT_TRUE(looksPending(4, 1));
    EXPECT_FALSE(looksPending(6, 1));
    EXPECT_EQ(colours(6, 1), (std::pair<QColor, QColor>{}));

    // As drawn: both pending cells, the current one included, in the pending colours.
    QCoreApplication::processEvents();
    const QImage shot = window->flashGrid->viewport()->grab().toImage();
    const auto cellRect = [this](int column, int row) {
        return window->flashGrid->visualRect(window->flashGrid->grid()->index(row - 1, column - 1));
    };
    for (const int column : {2, 4}) {
        SCOPED_TRACE(column);
        const QRect cell = cellRect(column, 1);
        EXPECT_GT(pixelsOf(shot, cell, kw::StringGridModel::pendingBackgroundColour()),
                  cell.width() * cell.height() / 3);
        EXPECT_GT(pixelsOf(shot, cell, kw::StringGridModel::pendingTextColour()), 3);
    }
    EXPECT_EQ(pixelsOf(shot, cellRect(6, 1), kw::StringGridModel::pendingBackgroundColour()), 0);

    // "4a" is the byte 0x4A once stored: drawn as usual, with the ASCII column as it was.
    select(5, 1);
    backspace();
    backspace();
    type("4a");
    EXPECT_TRUE(looksPending(5, 1));
    enter();
    EXPECT_EQ(flashByte(4), 0x4A);
    EXPECT_EQ(flashCell(5, 1), QStringLiteral("4a"));
    EXPECT_FALSE(looksPending(5, 1));
    EXPECT_EQ(flashCell(17, 1), QStringLiteral("................"));
    EXPECT_TRUE(looksPending(2, 1)); // still not the image

    window->dispbuff->click();
    EXPECT_EQ(flashCell(17, 1), QStringLiteral("....J..........."));
    for (const int column : {2, 4, 5})
        EXPECT_FALSE(looksPending(column, 1)) << column;
    EXPECT_EQ(flashCell(2, 1), QStringLiteral("FF"));
}

TEST_F(GridEditing, ShortCellRefusesNonDigitsAndEnterWithTheAlert) {
    select(1, 1);
    backspace();
    EXPECT_EQ(flashCell(1, 1), QStringLiteral("F"));
    type("G x");
    enter();
    EXPECT_EQ(prompts->beeps, 4);
    EXPECT_EQ(flashCell(1, 1), QStringLiteral("F"));
    EXPECT_EQ(flashByte(0), 0xFF);
    backspace();
    type("3");
    enter(); // one digit cannot be committed
    EXPECT_EQ(prompts->beeps, 5);
    EXPECT_EQ(flashByte(0), 0xFF);
}

TEST_F(GridEditing, EnterOnAnUnchangedCellRestoresTheShownByte) {
    openThrough(window->OpenHex,
                writeFile(QStringLiteral("i.hex"), QByteArray::fromStdString(hexImage(64))));
    select(5, 3);
    window->FlashBuf->write(36, 0x00); // the grid still shows the loaded byte
    enter();
    EXPECT_EQ(flashByte(36), hexImageByte(36));
}

TEST_F(GridEditing, EnterInTheAsciiColumnReportsTheConversionFailure) {
    select(17, 1);
    enter();
    EXPECT_EQ(prompts->errors,
              QStringList{QStringLiteral("'0x................' is not a valid integer value")});
    EXPECT_EQ(flashByte(16), 0xFF);
    // Typing does not change the ASCII column.
    backspace();
    EXPECT_EQ(flashCell(17, 1), QStringLiteral("................"));
}

TEST_F(GridEditing, CommitStaysInsideTheImage) {
    // A 4096-byte image shown in 513 rows after a device switch.
    window->deviceBox->setCurrentIndex(0);
    openThrough(window->OpenBin, writeFile(QStringLiteral("s.bin"), QByteArray(4096, '\x01')));
    window->deviceBox->setCurrentIndex(1);
    window->dispbuff->click();
    select(1, 300); // index 4784, past the buffer
    type("12");
    enter();
    EXPECT_EQ(window->FlashBuf->size(), 4096u);
    EXPECT_TRUE(prompts->errors.isEmpty());
}

TEST_F(GridEditing, NothingIsStoredBeforeAnyImage) {
    window.reset();
    makeWindow(dir.filePath(QStringLiteral("lib")));
    window->show();
    window->flashGrid->setCurrentCell(1, 1);
    type("1");
    EXPECT_EQ(prompts->beeps, 0);
    enter(); // "1" is one character: refused with the alert
    EXPECT_EQ(prompts->beeps, 1);
    type("2");
    enter();
    EXPECT_EQ(window->FlashBuf, nullptr);
    EXPECT_TRUE(prompts->errors.isEmpty());
}

} // namespace
