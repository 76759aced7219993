// Download and read-back through the window, against test programmer libraries loaded the
// real way from the folder the window is told to look in.
#include <QAction>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QTest>
#include <QTimer>
#include <cstdlib>

#include "app/TFrm_about.h"

#include "programmer/TestLibraries.h"
#include "support/FakeProgrammer.h"
#include "support/HexText.h"
#include "support/WindowFixture.h"

namespace {

namespace testlib = kw::testlib;

const QString kStart = QStringLiteral("正在下载芯片数据......");
const QString kEnd = QStringLiteral("下载芯片数据完成。");

QString dirOf(const std::filesystem::path& path) {
    return QString::fromStdString(path.string());
}

class Transfers : public WindowFixture {
protected:
    void SetUp() override {
        WindowFixture::SetUp();
        makeWindow(dirOf(testlib::recordingDir()));
    }
    void loadImage() {
        openThrough(window->OpenHex, writeFile(QStringLiteral("image.hex"),
                                               QByteArray::fromStdString(hexImage(8192))));
        ASSERT_TRUE(window->DownLoadBtn->isEnabled());
    }
    QStringList logAfterWelcome() const { return logLines().mid(1); }
    void readBack() {
        window->runHandler([this] { window->ReadBtnClick(); });
    }

    testlib::RecordingSession session;
};

QString stamped(const QStringList& lines, int i) {
    return lines.value(i).section(QStringLiteral("   "), 1);
}

TEST_F(Transfers, DownloadSendsTheImageInSixtyFourPacedBlocks) {
    loadImage();
    window->DownLoadBtn->click();

    // The blocks, their order and the pauses' lengths are the transfer's own, checked with
    // it; here the loaded file's bytes reach the library and the window's pause is used.
    const auto log = session.log();
    ASSERT_EQ(log.calls.size(), 64u);
    for (int i = 0; i < 64; ++i) {
        ASSERT_EQ(log.calls[i].data.size(), 128u);
        for (int k = 0; k < 128; k += 37)
            EXPECT_EQ(log.calls[i].data[k], hexImageByte(i * 128 + k));
    }
    EXPECT_EQ(log.loads, 1);
    EXPECT_EQ(log.unloads, 1);
    EXPECT_EQ(pauses.size(), 64u);
    EXPECT_EQ(window->ProgressBar1->maximum(), 63);
    EXPECT_EQ(window->ProgressBar1->value(), 63);

    const QStringList lines = logAfterWelcome();
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(stamped(lines, 0), kStart);
    EXPECT_EQ(lines[1], kw::longTimeText(window->StampTime) + QStringLiteral("   ") + kEnd);
    EXPECT_TRUE(prompts->messages.isEmpty());
    EXPECT_TRUE(prompts->errors.isEmpty());
}

TEST_F(Transfers, ProgrammerNotFoundOnTheFirstBlock) {
    loadImage();
    session.failCall(0, 1);
    QStringList linesWhileShown;
    int unloadsWhileShown = -1;
    prompts->whileMessageShown = [&](const QString&) {
        linesWhileShown = logAfterWelcome();
        unloadsWhileShown = session.log().unloads;
    };
    window->DownLoadBtn->click();

    EXPECT_EQ(prompts->messages, QStringList{QStringLiteral("未发现KALIWIRE设备!")});
    ASSERT_EQ(linesWhileShown.size(), 1);
    EXPECT_EQ(unloadsWhileShown, 0);
    const QStringList lines = logAfterWelcome();
    ASSERT_EQ(lines.size(), 3);
    EXPECT_EQ(lines[1], QStringLiteral("出错代码:1"));
    EXPECT_EQ(lines[2], QStringLiteral("出错进度:0"));
    EXPECT_EQ(session.log().calls.size(), 1u);
    EXPECT_EQ(session.log().unloads, 1);
    EXPECT_EQ(window->ProgressBar1->value(), 0);
}

TEST_F(Transfers, FailedLastBlockIsLoggedWithoutAMessage) {
    loadImage();
    session.failCall(63, 7);
    window->DownLoadBtn->click();
    EXPECT_TRUE(prompts->messages.isEmpty());
    const QStringList lines = logAfterWelcome();
    ASSERT_EQ(lines.size(), 3);
    EXPECT_EQ(lines[1], QStringLiteral("出错代码:7"));
    EXPECT_EQ(lines[2], QStringLiteral("出错进度:63"));
    EXPECT_EQ(window->ProgressBar1->value(), 62);
}

TEST_F(Transfers, MissingLibraryOrExportIsReported) {
    loadImage();
    makeWindow(dirOf(testlib::emptyDir()));
    window->DownLoadBtn->setEnabled(true);
    window->DownLoadBtn->click();
    EXPECT_EQ(prompts->messages, QStringList{QStringLiteral("TOLVANEX.dll没有找到")});
    EXPECT_TRUE(logAfterWelcome().isEmpty());

    prompts->messages.clear();
    makeWindow(dirOf(testlib::noSetDir()));
    window->DownLoadBtn->setEnabled(true);
    window->DownLoadBtn->click();
    EXPECT_EQ(prompts->messages, QStringList{QStringLiteral("SetFlashData函数没有找到")});
    ASSERT_EQ(logAfterWelcome().size(), 1);
    EXPECT_EQ(stamped(logAfterWelcome(), 0), kStart);
    EXPECT_EQ(session.log().loads, session.log().unloads);
}

TEST_F(Transfers, LogSaysWhyALibraryDidNotLoadAndWhatTheLibrarySaysOfAFailure) {
    makeWindow(dirOf(testlib::noDependencyDir()));
    window->DownLoadBtn->setEnabled(true);
    window->DownLoadBtn->click();
    readBack();
    EXPECT_EQ(prompts->messages, QStringList(2, QStringLiteral("TOLVANEX.dll没有找到")));
    const QString reason = dirOf(testlib::noDependencyDir() / "TOLVANEX.dll") +
                           QStringLiteral(": libtestlib_dependency.so: ");
    ASSERT_EQ(logAfterWelcome().size(), 2);
    for (const QString& line : logAfterWelcome())
        EXPECT_TRUE(line.startsWith(reason)) << line.toStdString();

    makeWindow(dirOf(testlib::errorTextDir()));
    loadImage();
    session.failCall(3, 9);
    window->DownLoadBtn->click();
    const QStringList lines = logAfterWelcome();
    ASSERT_EQ(lines.size(), 4);
    EXPECT_EQ(lines.mid(1), (QStringList{QStringLiteral("出错代码:9"), QStringLiteral("出错进度:3"),
                                         QStringLiteral("测试库错误 9: 说明")}));
}

TEST_F(Transfers, SmallImageIsPaddedWithErasedBytes) {
    window->deviceBox->setCurrentIndex(0);
    openThrough(window->OpenBin, writeFile(QStringLiteral("s.bin"), QByteArray(4096, '\x42')));
    ASSERT_EQ(window->FlashBuf->size(), 4096u);
    window->DownLoadBtn->click();
    const auto log = session.log();
    ASSERT_EQ(log.calls.size(), 64u);
    EXPECT_EQ(log.calls[31].data, std::vector<std::uint8_t>(128, 0x42));
    EXPECT_EQ(log.calls[32].data, std::vector<std::uint8_t>(128, 0xFF));
    EXPECT_EQ(log.calls[63].data, std::vector<std::uint8_t>(128, 0xFF));
}

TEST_F(Transfers, WindowRefusesChangesWhileADownloadRuns) {
    loadImage();
    const auto imageBefore = std::vector<std::uint8_t>(window->FlashBuf->bytes().begin(),
                                                       window->FlashBuf->bytes().end());
    window->show();
    window->flashGrid->setCurrentCell(1, 1);
    duringPause = [&](int block) {
        if (block != 3)
            return;
        EXPECT_TRUE(window->transferRunning());
        prompts->openAnswers.push_back(writeFile(QStringLiteral("other.bin"), QByteArray(8192, 0)));
        window->DownLoadBtn->click();
        window->OpenHex->click();
        window->OpenBin->click();
        window->runHandler([this] { window->BuffclearClick(); });
        window->runHandler([this] { window->eebuffclearClick(); });
        window->runHandler([this] { window->eeloadbinClick(); });
        window->runHandler([this] { window->ReadBtnClick(); });
        QTest::keyClick(window->flashGrid, Qt::Key_Backspace);
        QTest::keyClick(window->flashGrid, Qt::Key_Backspace);
        QTest::keyClick(window->flashGrid, '0');
        QTest::keyClick(window->flashGrid, '0');
        QTest::keyClick(window->flashGrid, Qt::Key_Return);
        window->close();
        EXPECT_TRUE(window->isVisible());
    };
    window->DownLoadBtn->click();

    EXPECT_EQ(prompts->beeps, 8);
    EXPECT_TRUE(prompts->openRequests.size() == 1u) << "only the first load asked for a file";
    EXPECT_EQ(session.log().calls.size(), 64u);
    EXPECT_EQ(session.log().loads, 1);
    EXPECT_EQ(std::vector<std::uint8_t>(window->FlashBuf->bytes().begin(),
                                        window->FlashBuf->bytes().end()),
              imageBefore);
    EXPECT_EQ(window->EepromBuf, nullptr);
    // The refused commit put the stored byte back into the cell.
    EXPECT_EQ(flashCell(1, 1), QString::fromStdString(kw::hexdump::byteHex(hexImageByte(0))));
    EXPECT_FALSE(window->flashGrid->grid()->isPending(1, 1));
    // The close asked for during the transfer happens once it has ended.
    EXPECT_TRUE(window->isVisible());
    QCoreApplication::processEvents();
    EXPECT_FALSE(window->isVisible());
}

// Closes whatever modal box or menu is still open when it fires, so that a box or menu that
// holds the transfer in a nested event loop fails the test instead of hanging it.
class StallGuard {
public:
    explicit StallGuard(int milliseconds) {
        timer_.setInterval(milliseconds);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            for (QWidget* open :
                 {QApplication::activePopupWidget(), QApplication::activeModalWidget()})
                if (open != nullptr) {
                    stalled = true;
                    open->close();
                }
        });
        timer_.start();
    }
    bool stalled = false;

private:
    QTimer timer_;
};

TEST_F(Transfers, BoxesAndMenusOpenedDuringADownloadDoNotHoldItUp) {
    loadImage();
    window->show();
    QApplication::setActiveWindow(window.get());
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    StallGuard guard(2000);

    // Each is opened between two blocks; at the next pause it must still be open, which it
    // cannot be if opening it only returned once it had been closed.
    QWidget* openPopup = nullptr;
    std::vector<QString> shownAtNextPause;
    const auto openContextMenu = [&](QWidget* target) {
        QContextMenuEvent event(QContextMenuEvent::Keyboard, QPoint(5, 5),
                                target->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(target, &event);
    };
    std::vector<bool> aboutShown;
    duringPause = [&](int block) {
        if (openPopup != nullptr) {
            shownAtNextPause.push_back(openPopup->isVisible() ? openPopup->metaObject()->className()
                                                              : QString());
            openPopup->close();
            openPopup = nullptr;
        }
        switch (block) {
        case 1:
            openContextMenu(window->Memo2->viewport());
            openPopup = QApplication::activePopupWidget();
            break;
        case 2:
            openContextMenu(window->deviceBox->lineEdit());
            openPopup = QApplication::activePopupWidget();
            break;
        case 3:
            window->deviceBox->showPopup();
            openPopup = QApplication::activePopupWidget();
            break;
        case 4:
            QTest::keyClick(window.get(), Qt::Key_A, Qt::AltModifier); // the menu 关于
            openPopup = QApplication::activePopupWidget();
            break;
        case 6:
            QTest::keyClick(window.get(), Qt::Key_A, Qt::AltModifier);
            if (QWidget* menu = QApplication::activePopupWidget())
                QTest::keyClick(menu, Qt::Key_Return); // 版权
            break;
        default:
            break;
        }
        aboutShown.push_back(window->Frm_about != nullptr && window->Frm_about->isVisible());
    };
    window->DownLoadBtn->click();

    EXPECT_FALSE(guard.stalled) << "a box or menu held the download until it was closed";
    EXPECT_EQ(shownAtNextPause,
              (std::vector<QString>{QStringLiteral("QMenu"), QStringLiteral("QMenu"),
                                    QStringLiteral("QComboBoxPrivateContainer"),
                                    QStringLiteral("QMenu")}));
    EXPECT_EQ(session.log().calls.size(), 64u);
    ASSERT_EQ(aboutShown.size(), 64u);
    EXPECT_FALSE(aboutShown[5]);
    EXPECT_TRUE(std::all_of(aboutShown.begin() + 6, aboutShown.end(), [](bool b) { return b; }));
    EXPECT_EQ(stamped(logAfterWelcome(), 1), kEnd);
    ASSERT_NE(window->Frm_about, nullptr);
    EXPECT_TRUE(window->Frm_about->isVisible());
    EXPECT_EQ(window->Frm_about->windowModality(), Qt::WindowModal);
    window->Frm_about->reject();
}

TEST_F(Transfers, ReadBackReplacesTheImageOnlyWhenComplete) {
    loadImage();
    readBack();
    auto log = session.log();
    ASSERT_EQ(log.calls.size(), 256u);
    for (int i = 0; i < 256; ++i)
        EXPECT_EQ(log.calls[i].offset, i * 32);
    ASSERT_EQ(window->FlashBuf->size(), 8192u);
    EXPECT_EQ(*window->FlashBuf->read(0), testlib::patternByte(0));
    EXPECT_EQ(*window->FlashBuf->read(8191), testlib::patternByte(8191));
    EXPECT_EQ(flashCell(16, 512),
              QString::fromStdString(kw::hexdump::byteHex(testlib::patternByte(8191))));
    EXPECT_TRUE(logAfterWelcome().isEmpty());
    EXPECT_EQ(window->ProgressBar1->maximum(), 255);

    const auto before = std::vector<std::uint8_t>(window->FlashBuf->bytes().begin(),
                                                  window->FlashBuf->bytes().end());
    window->FlashBuf->write(0, 0x00);
    window->dispbuff->click();
    session.clearLog();
    session.failCall(100, -3);
    readBack();
    EXPECT_EQ(*window->FlashBuf->read(0), 0x00);
    EXPECT_EQ(*window->FlashBuf->read(5000), before[5000]);
    EXPECT_EQ(flashCell(1, 1), QStringLiteral("00"));
    const QStringList lines = logAfterWelcome();
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0], QStringLiteral("出错代码:-3"));
    EXPECT_EQ(lines[1], QStringLiteral("出错位置:100"));
    EXPECT_TRUE(prompts->messages.isEmpty());
}

TEST_F(Transfers, ReadBackWithoutLibraryRedrawsTheUnchangedImage) {
    makeWindow(dirOf(testlib::noGetDir()));
    readBack();
    EXPECT_EQ(prompts->messages, QStringList{QStringLiteral("GetFlashData函数没有找到")});
    EXPECT_EQ(window->FlashBuf, nullptr);
    EXPECT_EQ(window->flashGrid->grid()->gridRowCount(), 513);
    EXPECT_EQ(flashCell(0, 1), QStringLiteral("0x0000H"));
    EXPECT_EQ(flashCell(1, 1), QString());
}

// A programmer that went away mid-transfer: one box and one log line naming how, the image
// kept, and the next transfer runs as usual.
TEST_F(Transfers, AProgrammerThatStoppedIsToldAndTheNextTransferWorks) {
    const auto fake = std::make_shared<kw::test::FakeProgrammer>();
    makeWindow(kw::test::factoryOf(fake));
    loadImage();
    const auto before = std::vector<std::uint8_t>(window->FlashBuf->bytes().begin(),
                                                  window->FlashBuf->bytes().end());
    const struct {
        kw::ProgrammerStopped stop;
        const char* text;
    } cases[] = {
        {kw::ProgrammerStopped(kw::StopKind::Signal, 11),
         "TOLVANEX.dll已停止运行：信号 11 (Segmentation fault)"},
        {kw::ProgrammerStopped(kw::StopKind::Exit, 3), "TOLVANEX.dll已停止运行：退出码 3"},
        {kw::ProgrammerStopped(kw::StopKind::Timeout, 5),
         "TOLVANEX.dll已停止运行：超过 5 秒没有响应"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        prompts->messages.clear();
        const auto earlier = logLines().size();
        fake->stopAtCall = c.stop;
        fake->stopCall = 4;
        window->DownLoadBtn->click();
        EXPECT_EQ(prompts->messages, QStringList{QString::fromUtf8(c.text)});
        const QStringList lines = logLines().mid(earlier);
        ASSERT_EQ(lines.size(), 2);
        EXPECT_EQ(stamped(lines, 0), kStart);
        EXPECT_EQ(lines[1], QString::fromUtf8(c.text));
        EXPECT_FALSE(window->transferRunning());

        fake->stopCall = 10;
        readBack();
        EXPECT_EQ(prompts->messages.size(), 2);
        EXPECT_EQ(std::vector<std::uint8_t>(window->FlashBuf->bytes().begin(),
                                            window->FlashBuf->bytes().end()),
                  before);
    }

    fake->stopAtCall.reset();
    fake->writes.clear();
    prompts->messages.clear();
    window->DownLoadBtn->click();
    EXPECT_TRUE(prompts->messages.isEmpty());
    EXPECT_EQ(fake->writes.size(), 64u);
    EXPECT_EQ(stamped(logLines(), logLines().size() - 1), kEnd);
}

// The stand-in library beside the executable keeps what it was sent.
TEST(StandInProgrammer, DownloadThenReadBackGivesTheImageBack) {
    QTemporaryDir state;
    qputenv("XDG_STATE_HOME", state.path().toUtf8());
    qunsetenv("TOLVANEX_STANDIN");
    auto prompts = std::make_shared<ScriptedPrompts>();
    QTemporaryDir files;
    FrmCopyConfig config = FrmCopyConfig::forApplication();
    config.settingsFile = files.filePath(QStringLiteral("TOLVANEX.INI")).toStdString();
    config.prompts = prompts;
    config.pause = [](int) {};
    TFrmCopy window(config);

    QFile hex(files.filePath(QStringLiteral("image.hex")));
    ASSERT_TRUE(hex.open(QIODevice::WriteOnly));
    hex.write(QByteArray::fromStdString(hexImage(8192)));
    hex.close();
    prompts->openAnswers.push_back(hex.fileName());
    window.OpenHex->click();
    window.DownLoadBtn->click();
    EXPECT_TRUE(prompts->messages.isEmpty())
        << prompts->messages.join(QLatin1Char('\n')).toStdString();
    const auto sent = std::vector<std::uint8_t>(window.FlashBuf->bytes().begin(),
                                                window.FlashBuf->bytes().begin() + 8192);

    window.BuffclearClick();
    window.runHandler([&] { window.ReadBtnClick(); });
    ASSERT_EQ(window.FlashBuf->size(), 8192u);
    EXPECT_EQ(
        std::vector<std::uint8_t>(window.FlashBuf->bytes().begin(), window.FlashBuf->bytes().end()),
        sent);
    EXPECT_TRUE(prompts->errors.isEmpty());
    qunsetenv("XDG_STATE_HOME");
}

} // namespace
