// The main window as the user first meets it, its menus, log pane, about dialog, device
// choice, clock mode and the error guard.
#include <QAction>
#include <QButtonGroup>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QTest>
#include <QToolButton>

#include "app/TFrm_about.h"
#include "support/WindowFixture.h"

namespace {

using MainWindow = WindowFixture;

struct Placement {
    const char* name = nullptr;
    QRect geometry;
};

TEST_F(MainWindow, EveryControlSitsWhereTheLayoutPutsIt) {
    const Placement placements[] = {
        {"OpenBin", {11, 5, 56, 56}},         {"OpenHex", {71, 5, 56, 56}},
        {"ReadBtn", {131, 5, 56, 56}},        {"DownLoadBtn", {191, 5, 56, 56}},
        {"VerifyBtn", {252, 5, 56, 56}},      {"dispbuff", {572, 5, 104, 26}},
        {"dispeebuffer", {572, 35, 104, 26}}, {"grid", {8, 65, 665, 273}},
        {"ProgressBar1", {8, 341, 665, 9}},   {"Memo2", {4, 380, 665, 73}},
        {"flashGrid", {8, 8, 641, 228}},      {"EepromGrid", {8, 8, 641, 228}},
    };
    for (const auto& [name, geometry] : placements) {
        auto* widget = child<QWidget>(name);
        ASSERT_NE(widget, nullptr) << name;
        EXPECT_EQ(widget->geometry(), geometry) << name;
    }
    EXPECT_EQ(child<QComboBox>("deviceBox")->geometry().topLeft(), QPoint(48, 353));
    EXPECT_EQ(child<QLineEdit>("txtflashsize")->geometry().topLeft(), QPoint(232, 353));
    EXPECT_EQ(child<QLineEdit>("txteepromsize")->geometry().topLeft(), QPoint(336, 353));

    window->show();
    EXPECT_EQ(window->centralWidget()->height() + window->statusBar()->height(), 494);
    EXPECT_EQ(window->centralWidget()->width(), 683);
    EXPECT_EQ(window->statusBar()->height(), 23);
    EXPECT_TRUE(window->windowTitle().startsWith(
        QStringLiteral("STM8S SWIM 脱机烧写镜像下载工具  KALIWIRE")));
}

TEST_F(MainWindow, StartsWithTheDefaultState) {
    EXPECT_EQ(window->objectName(), QStringLiteral("FrmCopy"));
    EXPECT_EQ(window->FlashSize, 8192);
    EXPECT_EQ(window->EepromSize, 256);
    EXPECT_EQ(window->FlashBuf, nullptr);
    EXPECT_EQ(window->EepromBuf, nullptr);

    EXPECT_TRUE(child<QToolButton>("OpenBin")->isEnabled());
    EXPECT_TRUE(child<QToolButton>("OpenHex")->isEnabled());
    for (const char* name : {"DownLoadBtn", "ReadBtn", "VerifyBtn"})
        EXPECT_FALSE(child<QToolButton>(name)->isEnabled()) << name;
    EXPECT_EQ(child<QToolButton>("OpenBin")->text(), QStringLiteral("Bin"));
    EXPECT_EQ(child<QToolButton>("OpenHex")->text(), QStringLiteral("Hex"));
    EXPECT_EQ(child<QToolButton>("ReadBtn")->text(), QStringLiteral("读"));
    EXPECT_EQ(child<QToolButton>("DownLoadBtn")->text(), QStringLiteral("下载"));
    EXPECT_EQ(child<QToolButton>("VerifyBtn")->text(), QStringLiteral("校验"));
    EXPECT_TRUE(child<QPushButton>("dispbuff")->isHidden());
    EXPECT_TRUE(child<QPushButton>("dispeebuffer")->isHidden());

    auto* size = child<QLineEdit>("txtflashsize");
    EXPECT_EQ(size->text(), QStringLiteral("8192"));
    EXPECT_TRUE(size->isReadOnly());
    EXPECT_FALSE(size->isEnabled());
    EXPECT_EQ(child<QLineEdit>("txteepromsize")->text(), QStringLiteral("256"));
    EXPECT_EQ(child<QComboBox>("deviceBox")->currentText(), QStringLiteral("STM8SF103F3"));
    EXPECT_EQ(child<QProgressBar>("ProgressBar1")->value(), 0);

    auto* tabs = child<QTabWidget>("grid");
    ASSERT_EQ(tabs->count(), 3);
    EXPECT_EQ(tabs->tabText(0), QStringLiteral("FLASH"));
    EXPECT_EQ(tabs->tabText(1), QStringLiteral("EEPROM"));
    EXPECT_EQ(tabs->tabText(2), QStringLiteral("脱机烧写配置"));
    EXPECT_EQ(tabs->currentWidget()->objectName(), QStringLiteral("flashbuff"));

    EXPECT_EQ(logLines(), QStringList{QStringLiteral("Hello,欢迎使用STM8S KALIWIRE")});
    EXPECT_EQ(window->statusPanel->text(), QStringLiteral("未打开文件！"));
    EXPECT_EQ(window->StatusBar1->toolTip(), QStringLiteral("Statusbar Hint"));

    // The grids as laid out: 18 columns, 100 rows, nothing in them.
    for (auto* view : {window->flashGrid, window->EepromGrid}) {
        EXPECT_EQ(view->grid()->gridColumnCount(), 18);
        EXPECT_EQ(view->grid()->gridRowCount(), 100);
        EXPECT_EQ(view->grid()->cell(0, 0), QString());
        EXPECT_EQ(view->grid()->cell(1, 1), QString());
    }
}

TEST_F(MainWindow, OfflineTabShowsItsFieldsDisabled) {
    EXPECT_EQ(child<QComboBox>("STM8SModel")->currentText(), QStringLiteral("STM8S103F3"));
    EXPECT_EQ(child<QLineEdit>("AVRFlash")->text(), QStringLiteral("8192"));
    EXPECT_EQ(child<QGroupBox>("SWIMSCK")->title(), QStringLiteral("SWIM通讯时钟"));
    EXPECT_EQ(window->swimClockModes->checkedId(), 0);
    EXPECT_EQ(window->swimClockModes->button(0)->text(), QStringLiteral("低速模式"));
    EXPECT_EQ(window->swimClockModes->button(1)->text(), QStringLiteral("高速模式"));
    EXPECT_EQ(child<QLineEdit>("Edit15")->text(), QStringLiteral("1000"));
    EXPECT_EQ(child<QLineEdit>("Edit16")->text(), QStringLiteral("8888"));
    for (const char* name : {"Edit15", "Edit16", "ReadPara", "WritePara"})
        EXPECT_FALSE(child<QWidget>(name)->isEnabled()) << name;
    EXPECT_EQ(child<QPushButton>("ReadPara")->text(), QStringLiteral("读取参数"));
    EXPECT_EQ(child<QPushButton>("WritePara")->text(), QStringLiteral("写入参数"));
}

TEST_F(MainWindow, MenuItemsClickTheirButtons) {
    auto* menu = child<QMenu>("fileoper");
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(menu->title(), QStringLiteral("文件&F"));
    EXPECT_EQ(child<QMenu>("mnu_about")->title(), QStringLiteral("关于&A"));
    EXPECT_EQ(child<QAction>("mnu_openbin")->text(), QStringLiteral("打开BIN"));
    EXPECT_EQ(child<QAction>("mnu_openhex")->text(), QStringLiteral("打开HEX"));
    EXPECT_EQ(child<QAction>("mnu_copyright")->text(), QStringLiteral("版权"));

    int binClicks = 0;
    int hexClicks = 0;
    QObject::connect(window->OpenBin, &QToolButton::clicked, [&] { ++binClicks; });
    QObject::connect(window->OpenHex, &QToolButton::clicked, [&] { ++hexClicks; });
    child<QAction>("mnu_openbin")->trigger();
    child<QAction>("mnu_openhex")->trigger();
    EXPECT_EQ(binClicks, 1);
    EXPECT_EQ(hexClicks, 1);
    // Both ran the load and met the same dialogs as the buttons do; both were cancelled.
    ASSERT_EQ(prompts->openRequests.size(), 2u);
    EXPECT_EQ(prompts->openRequests[0].filter, QStringLiteral("Bin File(*.bin)|*.bin"));
    EXPECT_EQ(prompts->openRequests[1].filter, QStringLiteral("hex file(*.hex;*.ihx)|*.hex;*.ihx"));
    for (const auto& request : prompts->openRequests)
        EXPECT_EQ(request.title, QStringLiteral("请选择要打开的文件名"));
    EXPECT_TRUE(settingsBytes().isEmpty());
}

TEST_F(MainWindow, CtrlFAndAltFOpenTheFileMenu) {
    window->show();
    QApplication::setActiveWindow(window.get());
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    QTest::keyClick(window.get(), Qt::Key_F, Qt::ControlModifier);
    EXPECT_EQ(window->menuBar()->activeAction(), window->fileoper->menuAction());
    window->menuBar()->setActiveAction(nullptr);

    // The mnemonic of "文件&F" opens it too.
    QTest::keyClick(window.get(), Qt::Key_F, Qt::AltModifier);
    EXPECT_EQ(window->menuBar()->activeAction(), window->fileoper->menuAction());
}

TEST_F(MainWindow, DoubleClickClearsEveryLineOfTheLog) {
    window->appendStampedLine(QStringLiteral("一行"));
    window->show();
    QTest::mouseDClick(window->Memo2->viewport(), Qt::LeftButton);
    EXPECT_TRUE(logLines().isEmpty());
}

TEST_F(MainWindow, StampedLineIsTimeThreeBlanksAndMessage) {
    window->appendStampedLine(QStringLiteral("正在下载芯片数据......"));
    const QString line = logLines().last();
    const QString expected =
        kw::longTimeText(window->StampTime) + QStringLiteral("   正在下载芯片数据......");
    EXPECT_EQ(line, expected);
    EXPECT_TRUE(window->StampTime.isValid());
    // Seconds are shown, and no time-zone name.
    EXPECT_TRUE(kw::longTimeFormat().contains(QStringLiteral("ss")));
    EXPECT_FALSE(kw::longTimeFormat().contains(QLatin1Char('t')));
}

TEST_F(MainWindow, AboutDialogOpensAndClosesWithoutChangingState) {
    window->show();
    const QStringList logBefore = logLines();
    child<QAction>("mnu_copyright")->trigger();
    auto* about = window->Frm_about;
    ASSERT_NE(about, nullptr);
    EXPECT_TRUE(about->isVisible());
    EXPECT_EQ(about->windowModality(), Qt::WindowModal);
    EXPECT_EQ(about->windowTitle(), QStringLiteral("关于"));
    EXPECT_EQ(about->Label1->text(), QStringLiteral("STM8S KALIWIRE  纯脱机烧写工具"));
    about->reject();
    EXPECT_FALSE(about->isVisible());
    EXPECT_EQ(logLines(), logBefore);
    EXPECT_EQ(window->FlashSize, 8192);
    EXPECT_EQ(window->statusPanel->text(), QStringLiteral("未打开文件！"));
    EXPECT_FALSE(window->DownLoadBtn->isEnabled());
    EXPECT_TRUE(prompts->events.isEmpty());
}

TEST_F(MainWindow, DeviceChoiceSetsTheFlashSizeText) {
    auto* box = window->deviceBox;
    box->setCurrentIndex(0);
    EXPECT_EQ(window->txtflashsize->text(), QStringLiteral("4096"));
    box->setCurrentIndex(1);
    EXPECT_EQ(window->txtflashsize->text(), QStringLiteral("8192"));

    // Typed texts that name no chip, in another case included, change nothing.
    box->setCurrentIndex(0);
    for (const QString& typed :
         {QStringLiteral("stm8sf103f3"), QStringLiteral("STM8SF103F"), QStringLiteral("")}) {
        box->setEditText(typed);
        EXPECT_EQ(window->txtflashsize->text(), QStringLiteral("4096")) << typed.toStdString();
    }
    box->setEditText(QStringLiteral("STM8SF103F3"));
    EXPECT_EQ(window->txtflashsize->text(), QStringLiteral("8192"));
    // The choice alone redraws nothing and leaves FlashSize alone.
    EXPECT_EQ(window->FlashSize, 8192);
    EXPECT_EQ(window->flashGrid->grid()->gridRowCount(), 100);

    auto* model = window->STM8SModel;
    model->setCurrentIndex(0);
    EXPECT_EQ(window->AVRFlash->text(), QStringLiteral("4096"));
    EXPECT_EQ(window->txtflashsize->text(), QStringLiteral("8192"));
    model->setEditText(QStringLiteral("STM8SF103F3"));
    EXPECT_EQ(window->AVRFlash->text(), QStringLiteral("4096"));
    model->setCurrentIndex(1);
    EXPECT_EQ(window->AVRFlash->text(), QStringLiteral("8192"));
}

TEST_F(MainWindow, ClockModeClicksWriteTheSelectedIndex) {
    window->swimClockModes->button(1)->click();
    EXPECT_EQ(settingsBytes(), QByteArray("[System]\nSWIMSCK=1\n"));
    window->swimClockModes->button(0)->click();
    EXPECT_EQ(settingsBytes(), QByteArray("[System]\nSWIMSCK=0\n"));
    window->swimClockModes->button(0)->click();
    EXPECT_EQ(settingsBytes(), QByteArray("[System]\nSWIMSCK=0\n"));
    EXPECT_TRUE(prompts->events.isEmpty());
}

TEST_F(MainWindow, UnwritableSettingsFileShowsNothingAndChangesNothingElse) {
    FrmCopyConfig config;
    config.settingsFile = dir.filePath(QStringLiteral("no-such-folder/TOLVANEX.INI")).toStdString();
    config.prompts = prompts;
    TFrmCopy other(config);
    other.swimClockModes->button(1)->click();
    EXPECT_TRUE(prompts->events.isEmpty());
    EXPECT_FALSE(QDir(dir.filePath(QStringLiteral("no-such-folder"))).exists());
}

TEST_F(MainWindow, FailureInAHandlerShowsTheErrorBoxAndTheToolGoesOn) {
    window->txtflashsize->setText(QStringLiteral("12x"));
    window->dispbuff->click();
    EXPECT_EQ(prompts->errors, QStringList{QStringLiteral("'12x' is not a valid integer value")});
    // The redraw had already written its first header cell before the failure.
    EXPECT_EQ(flashCell(0, 0), QStringLiteral("Address"));
    EXPECT_EQ(window->FlashSize, 8192);
    EXPECT_EQ(window->flashGrid->grid()->gridRowCount(), 100);

    // A failure in a clicked handler ends the clicking handler as well, with one error box.
    window->txtflashsize->setText(QStringLiteral("0x1000"));
    window->BuffclearClick();
    EXPECT_EQ(window->flashGrid->grid()->gridRowCount(), 257);
    window->txtflashsize->setText(QString());
    prompts->errors.clear();
    EXPECT_THROW(window->BuffclearClick(), std::exception);
}

} // namespace
