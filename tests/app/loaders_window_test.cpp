// Loading images through the window: what the user sees in the grid, the status bar, the
// message boxes, the log and the settings file.
#include <QFile>
#include <QLineEdit>
#include <sys/stat.h>

#include "support/HexText.h"
#include "support/Stm8Tools.h"
#include "support/WindowFixture.h"
#include "target/Chip.h"

namespace {

using Loading = WindowFixture;

QByteArray bytes(const std::string& text) {
    return QByteArray::fromStdString(text);
}

TEST_F(Loading, HexFileFillsTheGridStatusBarAndSettings) {
    const QString path =
        writeFile(QStringLiteral("image.hex"),
                  bytes(hexRecord(0x10, {0x41, 0x20, 0x7F, 0x80, 0x00, 0x7E}) + hexEndOfFile()));
    openThrough(window->OpenHex, path);

    EXPECT_TRUE(prompts->messages.isEmpty());
    EXPECT_TRUE(prompts->errors.isEmpty());
    EXPECT_EQ(window->statusPanel->text(), QStringLiteral("打开的Hex文件:  ") + path);
    EXPECT_EQ(settingsBytes(), QByteArray("[System]\nlastopenhex=") + path.toUtf8() + "\n");
    EXPECT_TRUE(window->DownLoadBtn->isEnabled());
    ASSERT_NE(window->FlashBuf, nullptr);
    EXPECT_EQ(window->FlashBuf->size(), 65536u);

    EXPECT_EQ(window->flashGrid->grid()->gridRowCount(), 513);
    EXPECT_EQ(flashCell(0, 0), QStringLiteral("Address"));
    EXPECT_EQ(flashCell(17, 0), QStringLiteral("      ASCII"));
    EXPECT_EQ(flashCell(1, 0), QStringLiteral("00"));
    EXPECT_EQ(flashCell(16, 0), QStringLiteral("0F"));
    EXPECT_EQ(flashCell(0, 1), QStringLiteral("0x0000H"));
    EXPECT_EQ(flashCell(0, 512), QStringLiteral("0x1FF0H"));
    EXPECT_EQ(flashCell(1, 1), QStringLiteral("FF"));
    EXPECT_EQ(flashCell(17, 1), QStringLiteral("................"));
    EXPECT_EQ(flashCell(1, 2), QStringLiteral("41"));
    EXPECT_EQ(flashCell(3, 2), QStringLiteral("7F"));
    EXPECT_EQ(flashCell(17, 2), QStringLiteral("A.\x7F..~..........").left(16));
    EXPECT_EQ(window->flashGrid->grid()->columnWidth(0), 72);
    EXPECT_EQ(window->flashGrid->grid()->columnWidth(1), 24);
    EXPECT_EQ(window->flashGrid->grid()->columnWidth(17), 140);
}

TEST_F(Loading, ImageBeyondTheDeviceIsCutWithItsMessage) {
    window->deviceBox->setCurrentIndex(0); // 4096 bytes
    const QString path = writeFile(QStringLiteral("big.hex"), bytes(hexImage(8192)));
    bool enabledWhileMessageShown = true;
    prompts->whileMessageShown = [&](const QString&) {
        enabledWhileMessageShown = window->DownLoadBtn->isEnabled();
    };
    openThrough(window->OpenHex, path);

    EXPECT_EQ(prompts->messages, QStringList{QStringLiteral("文件太大,只保留FLASH指定大小!")});
    EXPECT_FALSE(enabledWhileMessageShown);
    EXPECT_TRUE(window->DownLoadBtn->isEnabled());
    EXPECT_EQ(window->FlashSize, 4096);
    EXPECT_EQ(window->flashGrid->grid()->gridRowCount(), 257);
    EXPECT_EQ(flashCell(0, 256), QStringLiteral("0x0FF0H"));
    EXPECT_EQ(*window->FlashBuf->read(4095), hexImageByte(4095));
    EXPECT_EQ(*window->FlashBuf->read(4096), hexImageByte(4096));
    EXPECT_EQ(*window->FlashBuf->read(4097), 0x00);
}

TEST_F(Loading, FailedHexLoadKeepsThePreviousImage) {
    openThrough(window->OpenHex, writeFile(QStringLiteral("good.hex"), bytes(hexImage(32))));
    ASSERT_TRUE(window->DownLoadBtn->isEnabled());
    const auto before = std::vector<std::uint8_t>(window->FlashBuf->bytes().begin(),
                                                  window->FlashBuf->bytes().end());
    const QString shownBefore = flashCell(1, 1);

    window->deviceBox->setCurrentIndex(0);
    const QString bad = writeFile(QStringLiteral("bad.hex"),
                                  bytes(hexRecord(0, {1, 2, 3}) + ":0300030G112233XX\n"));
    openThrough(window->OpenHex, bad);

    EXPECT_EQ(prompts->errors, QStringList{QStringLiteral("'0x0G' is not a valid integer value")});
    EXPECT_EQ(window->FlashSize, 8192);
    EXPECT_EQ(std::vector<std::uint8_t>(window->FlashBuf->bytes().begin(),
                                        window->FlashBuf->bytes().end()),
              before);
    EXPECT_EQ(flashCell(1, 1), shownBefore);
    // The path is recorded and shown all the same: it was chosen.
    EXPECT_EQ(window->statusPanel->text(), QStringLiteral("打开的Hex文件:  ") + bad);
    EXPECT_TRUE(settingsBytes().contains(bad.toUtf8()));

    // A file that vanished after it was chosen fails the same way.
    openThrough(window->OpenHex, dir.filePath(QStringLiteral("gone.hex")));
    ASSERT_EQ(prompts->errors.size(), 2);
    EXPECT_TRUE(prompts->errors[1].contains(QStringLiteral("gone.hex")));
    EXPECT_EQ(window->FlashBuf->size(), 65536u);
}

TEST_F(Loading, FirstFailedLoadLeavesDownloadDisabled) {
    openThrough(window->OpenBin, dir.filePath(QStringLiteral("missing.bin")));
    EXPECT_EQ(prompts->errors.size(), 1);
    EXPECT_FALSE(window->DownLoadBtn->isEnabled());
    EXPECT_EQ(window->FlashBuf, nullptr);
    EXPECT_EQ(settingsBytes(), QByteArray("[System]\nlastopenbin=") +
                                   dir.filePath(QStringLiteral("missing.bin")).toUtf8() + "\n");
}

TEST_F(Loading, CancelChangesNothing) {
    for (QAbstractButton* button : {static_cast<QAbstractButton*>(window->OpenHex),
                                    static_cast<QAbstractButton*>(window->OpenBin)})
        button->click();
    window->eeloadbinClick();
    EXPECT_EQ(prompts->openRequests.size(), 3u);
    EXPECT_TRUE(settingsBytes().isEmpty());
    EXPECT_FALSE(QFile::exists(settingsPath()));
    EXPECT_EQ(window->statusPanel->text(), QStringLiteral("未打开文件！"));
    EXPECT_EQ(window->FlashBuf, nullptr);
    EXPECT_EQ(window->EepromBuf, nullptr);
    EXPECT_EQ(logLines().size(), 1);
    EXPECT_FALSE(window->DownLoadBtn->isEnabled());
}

TEST_F(Loading, BinaryFileFillsTheImageFromOffsetZero) {
    QByteArray raw(100, '\0');
    for (int i = 0; i < raw.size(); ++i)
        raw[i] = static_cast<char>(0x21 + i % 64);
    const QString path = writeFile(QStringLiteral("image.bin"), raw);
    openThrough(window->OpenBin, path);

    EXPECT_EQ(window->statusPanel->text(), QStringLiteral("打开的Bin文件:  ") + path);
    EXPECT_EQ(window->FlashBuf->size(), 8192u);
    EXPECT_EQ(*window->FlashBuf->read(99), 0x21 + 99 % 64);
    EXPECT_EQ(*window->FlashBuf->read(100), 0xFF);
    EXPECT_EQ(flashCell(1, 1), QStringLiteral("21"));
    EXPECT_EQ(flashCell(17, 1), QStringLiteral("!\"#$%&'()*+,-./0"));
    EXPECT_EQ(flashCell(5, 7), QStringLiteral("FF"));
    EXPECT_TRUE(window->DownLoadBtn->isEnabled());

    // Then a HEX file: both keys stay in the settings file.
    openThrough(window->OpenHex, writeFile(QStringLiteral("x.hex"), bytes(hexEndOfFile())));
    const QByteArray settings = settingsBytes();
    EXPECT_TRUE(settings.contains("lastopenbin=" + path.toUtf8()));
    EXPECT_TRUE(settings.contains("lastopenhex="));
}

TEST_F(Loading, SmallDeviceTakesTheFirstBytesOfALongBinary) {
    window->deviceBox->setCurrentIndex(0);
    QByteArray raw(8192, '\x11');
    raw[4095] = '\x22';
    openThrough(window->OpenBin, writeFile(QStringLiteral("long.bin"), raw));
    EXPECT_TRUE(prompts->messages.isEmpty());
    EXPECT_EQ(window->FlashBuf->size(), 4096u);
    EXPECT_EQ(*window->FlashBuf->read(4095), 0x22);
    EXPECT_EQ(window->flashGrid->grid()->gridRowCount(), 257);
}

TEST_F(Loading, EepromLoaderTakesAnyFileAsRawBytesAndLogs) {
    const QString path = writeFile(QStringLiteral("eeprom.hex"), bytes(hexImage(16)));
    window->OpenHex->setEnabled(true);
    prompts->openAnswers.push_back(path);
    window->eeloadbinClick();

    ASSERT_EQ(prompts->openRequests.size(), 1u);
    EXPECT_EQ(prompts->openRequests[0].filter,
              QStringLiteral("Bin文件(*.bin)|*.bin|Hex文件(*.hex)|*.hex|EEP文件(*.eep)|*.eep"));
    EXPECT_EQ(window->EepromBuf->size(), 256u);
    EXPECT_EQ(*window->EepromBuf->read(0), 0x3A);
    EXPECT_EQ(window->EepromGrid->grid()->gridRowCount(), 17);
    EXPECT_EQ(window->EepromGrid->grid()->cell(0, 16), QStringLiteral("0x00F0H"));
    EXPECT_EQ(window->EepromGrid->grid()->cell(1, 1), QStringLiteral("3A"));
    EXPECT_EQ(window->statusPanel->text(), QStringLiteral("打开的Bin文件:  ") + path);
    EXPECT_EQ(logLines().last(), kw::longTimeText(window->StampTime) +
                                     QStringLiteral("   从文件装载EEPROM内容完成！"));
    // Nothing of the flash side moves.
    EXPECT_FALSE(QFile::exists(settingsPath()));
    EXPECT_EQ(window->FlashBuf, nullptr);
    EXPECT_FALSE(window->DownLoadBtn->isEnabled());

    // An unreadable file replaces nothing and adds no line.
    const int lines = logLines().size();
    prompts->openAnswers.push_back(dir.filePath(QStringLiteral("none.eep")));
    window->runHandler([&] { window->eeloadbinClick(); });
    EXPECT_EQ(prompts->errors.size(), 1);
    EXPECT_EQ(logLines().size(), lines);
    EXPECT_EQ(*window->EepromBuf->read(0), 0x3A);
}

TEST_F(Loading, ClearOperationsMakeErasedImages) {
    window->BuffclearClick();
    ASSERT_NE(window->FlashBuf, nullptr);
    EXPECT_EQ(window->FlashBuf->size(), 8192u);
    EXPECT_EQ(flashCell(16, 512), QStringLiteral("FF"));
    EXPECT_EQ(flashCell(17, 512), QStringLiteral("................"));
    window->eebuffclearClick();
    EXPECT_EQ(window->EepromBuf->size(), 256u);
    EXPECT_EQ(window->EepromGrid->grid()->cell(16, 16), QStringLiteral("FF"));
}

TEST_F(Loading, RedrawAfterADeviceSwitchShowsBlanksPastTheBuffer) {
    window->deviceBox->setCurrentIndex(0);
    openThrough(window->OpenBin, writeFile(QStringLiteral("a.bin"), QByteArray(4096, '\x5A')));
    window->deviceBox->setCurrentIndex(1);
    EXPECT_EQ(window->flashGrid->grid()->gridRowCount(), 257);
    window->dispbuff->click();
    EXPECT_EQ(window->FlashSize, 8192);
    EXPECT_EQ(window->flashGrid->grid()->gridRowCount(), 513);
    EXPECT_EQ(flashCell(16, 256), QStringLiteral("5A"));
    EXPECT_EQ(flashCell(1, 257), QString());
    EXPECT_EQ(flashCell(0, 257), QStringLiteral("0x1000H"));
    EXPECT_TRUE(prompts->errors.isEmpty());
}

// A named pipe would block a load for ever and /dev/zero would fill memory: the window shows
// the error at once and keeps the image it had.
TEST_F(Loading, SpecialFilesAreRefusedAndTheImageStays) {
    openThrough(window->OpenHex, writeFile(QStringLiteral("good.hex"), bytes(hexImage(32))));
    prompts->openAnswers.push_back(writeFile(QStringLiteral("eeprom.bin"), QByteArray(4, 'E')));
    window->eeloadbinClick();
    const QString fifo = dir.filePath(QStringLiteral("pipe.hex"));
    ASSERT_EQ(::mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
    const QString notRegular = QStringLiteral("\": it is a named pipe, not a regular file");

    openThrough(window->OpenHex, fifo);
    openThrough(window->OpenBin, fifo);
    prompts->openAnswers.push_back(fifo);
    window->runHandler([&] { window->eeloadbinClick(); });
    openThrough(window->OpenHex, QStringLiteral("/dev/zero"));

    const QString cannotOpen = QStringLiteral("Cannot open file \"") + fifo + notRegular;
    EXPECT_EQ(prompts->errors,
              (QStringList{cannotOpen, cannotOpen, cannotOpen,
                           QStringLiteral("Cannot open file \"/dev/zero\": it is a character "
                                          "device, not a regular file")}));
    EXPECT_EQ(window->FlashBuf->size(), 65536u);
    EXPECT_EQ(*window->FlashBuf->read(31), hexImageByte(31));
    EXPECT_EQ(flashCell(16, 2),
              QStringLiteral("%1").arg(hexImageByte(31), 2, 16, QChar('0')).toUpper());
    EXPECT_EQ(*window->EepromBuf->read(0), 'E');
    EXPECT_TRUE(prompts->messages.isEmpty());
}

// SDCC links flash at 0x8000; its output shows the program from the first grid row.
TEST_F(Loading, CompilerOutputShowsTheProgramFromTheFirstRow) {
    const auto ihx = kw::test::compileStm8Program(dir.path().toStdString());
    const auto expected = kw::test::srecBinary(ihx, kw::kStm8s103f3.flashBase, 8192);
    openThrough(window->OpenHex, QString::fromStdString(ihx.string()));

    EXPECT_TRUE(prompts->messages.isEmpty());
    EXPECT_TRUE(prompts->errors.isEmpty());
    EXPECT_TRUE(window->DownLoadBtn->isEnabled());
    EXPECT_EQ(flashCell(0, 1), QStringLiteral("0x0000H"));
    for (int column = 1; column <= 16; ++column)
        EXPECT_EQ(flashCell(column, 1),
                  QStringLiteral("%1").arg(expected[column - 1], 2, 16, QChar('0')).toUpper());
    EXPECT_EQ(flashCell(1, 1), QStringLiteral("82")); // the reset vector's INT
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), window->FlashBuf->bytes().begin()));
}

QString cellText(std::uint8_t byte) {
    return QStringLiteral("%1").arg(byte, 2, 16, QChar('0')).toUpper();
}

// EEPROM data beside the program goes to the EEPROM grid, not into the flash image.
TEST_F(Loading, CompilerOutputWithEepromDataFillsBothGrids) {
    const auto ihx = kw::test::compileStm8Program(dir.path().toStdString(),
                                                  kw::test::kStm8EepromProgram, "calib");
    const auto flash = kw::test::srecBinary(ihx, kw::kStm8s103f3.flashBase, 8192);
    const auto eeprom = kw::test::srecBinary(ihx, kw::kStm8s103f3.eepromBase, 16);
    ASSERT_EQ(eeprom[0], 0x12); // SDCC wrote the EEPROM data where the program put it
    openThrough(window->OpenHex, QString::fromStdString(ihx.string()));

    EXPECT_TRUE(prompts->messages.isEmpty());
    EXPECT_TRUE(prompts->errors.isEmpty());
    EXPECT_TRUE(window->DownLoadBtn->isEnabled());
    for (int column = 1; column <= 16; ++column)
        EXPECT_EQ(flashCell(column, 1), cellText(flash[column - 1]));
    EXPECT_TRUE(std::equal(flash.begin(), flash.end(), window->FlashBuf->bytes().begin()));

    ASSERT_NE(window->EepromBuf, nullptr);
    EXPECT_EQ(window->EepromBuf->size(), 256u);
    EXPECT_EQ(window->EepromGrid->grid()->gridRowCount(), 17);
    for (int column = 1; column <= 16; ++column)
        EXPECT_EQ(window->EepromGrid->grid()->cell(column, 1), cellText(eeprom[column - 1]));
    EXPECT_EQ(window->EepromGrid->grid()->cell(4, 1), QStringLiteral("78"));
    EXPECT_EQ(window->EepromGrid->grid()->cell(16, 16), QStringLiteral("FF"));
    EXPECT_EQ(
        logLines().last(),
        kw::longTimeText(window->StampTime) +
            QStringLiteral("   文件含EEPROM数据(4字节)：已载入EEPROM表格；下载只写入Flash。"));
}

TEST_F(Loading, OptionBytesAndEepromPastTheGridAreNamedInTheLog) {
    prompts->openAnswers.push_back(writeFile(QStringLiteral("eeprom.bin"), QByteArray(4, 'E')));
    window->eeloadbinClick();
    openThrough(window->OpenHex,
                writeFile(QStringLiteral("options.hex"),
                          bytes(hexRecord(0x4800, {0x00, 0x00, 0xFF}) +
                                hexRecord(0x8000, {0x82, 0x00, 0x80, 0x80}) + hexEndOfFile())));
    EXPECT_EQ(logLines().last(),
              kw::longTimeText(window->StampTime) +
                  QStringLiteral("   文件含选项字节数据(3字节)：下载只写入Flash。"));
    EXPECT_EQ(flashCell(1, 1), QStringLiteral("82"));
    // The EEPROM image the file gives nothing for stays.
    EXPECT_EQ(*window->EepromBuf->read(0), 'E');

    const int lines = logLines().size();
    openThrough(window->OpenHex,
                writeFile(QStringLiteral("both.hex"),
                          bytes(hexRecord(0x40FF, {0x11, 0x22, 0x33}) + hexRecord(0x4801, {0x00}) +
                                hexRecord(0x8000, {0x82}) + hexEndOfFile())));
    ASSERT_EQ(logLines().size(), lines + 2);
    const QString stamp = kw::longTimeText(window->StampTime) + QStringLiteral("   ");
    EXPECT_EQ(logLines()[lines],
              stamp + QStringLiteral("EEPROM数据超出EEPROM大小(256字节)：0x4100起的2字节未载入。"));
    EXPECT_EQ(logLines()[lines + 1],
              stamp + QStringLiteral("文件含EEPROM数据(3字节)和选项字节数据(1字节)："
                                     "已载入EEPROM表格；下载只写入Flash。"));
    EXPECT_EQ(window->EepromBuf->size(), 256u);
    EXPECT_EQ(*window->EepromBuf->read(0), 0xFF);
    EXPECT_EQ(*window->EepromBuf->read(255), 0x11);
    EXPECT_EQ(window->EepromGrid->grid()->cell(16, 16), QStringLiteral("11"));
    EXPECT_TRUE(prompts->messages.isEmpty());
    EXPECT_TRUE(prompts->errors.isEmpty());
}

} // namespace
