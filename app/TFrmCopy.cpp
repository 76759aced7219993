#include "app/TFrmCopy.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QShortcut>
#include <QStatusBar>
#include <QStringList>
#include <QTabWidget>
#include <QToolButton>
#include <exception>
#include <string>

#include "app/LogPane.h"
#include "app/Prompts.h"
#include "app/TFrm_about.h"
#include "image/BinaryLoader.h"
#include "image/IntConv.h"
#include "image/IntelHexLoader.h"
#include "kw/Version.h"
#include "programmer/DlProgrammer.h"
#ifndef _WIN32
#include "programmer/HelperProtocol.h"
#include "programmer/ProcessProgrammer.h"
#endif
#include "programmer/Pause.h"
#include "programmer/ProgrammerLibrary.h"
#include "programmer/Transfer.h"
#include "settings/ProfileWriter.h"
#include "settings/ToolSettings.h"
#include "target/Chip.h"
#include "view/HexDump.h"
#include "view/KeyFilter.h"
#include "view/StringGridView.h"

namespace {

const QString kOpenTitle = QStringLiteral("请选择要打开的文件名");
const QString kHexFilter = QStringLiteral("hex file(*.hex;*.ihx)|*.hex;*.ihx");
const QString kBinFilter = QStringLiteral("Bin File(*.bin)|*.bin");
const QString kEepromFilter =
    QStringLiteral("Bin文件(*.bin)|*.bin|Hex文件(*.hex)|*.hex|EEP文件(*.eep)|*.eep");
const QString kHexStatusLabel = QStringLiteral("打开的Hex文件:  ");
const QString kBinStatusLabel = QStringLiteral("打开的Bin文件:  ");
const QString kImageTooLarge = QStringLiteral("文件太大,只保留FLASH指定大小!");
const QString kEepromLoaded = QStringLiteral("从文件装载EEPROM内容完成！");
const QString kCellAddressHint = QStringLiteral("当前光标操作单元缓冲内存地址：");
const QString kWelcomeLine = QStringLiteral("Hello,欢迎使用STM8S KALIWIRE");
const QString kNoFileOpen = QStringLiteral("未打开文件！");

constexpr int kClientWidth = 683;
constexpr int kClientHeight = 494;
constexpr int kStatusBarHeight = 23;

QFont songTypeFont(int pixelSize) {
    QFont font;
    font.setFamilies({QStringLiteral("SimSun"), QStringLiteral("宋体"),
                      QStringLiteral("WenQuanYi Micro Hei"), QStringLiteral("Noto Sans CJK SC")});
    font.setPixelSize(pixelSize);
    return font;
}

std::string utf8(const QString& text) {
    return text.toStdString();
}

QString text(std::string_view view) {
    return QString::fromUtf8(view.data(), static_cast<qsizetype>(view.size()));
}

QString flashSizeText(const kw::Chip& chip) {
    return QString::number(chip.flashSize);
}

std::filesystem::path toPath(const QString& text) {
    return std::filesystem::path(text.toStdU16String());
}

void setRedText(QLineEdit* edit) {
    QPalette palette = edit->palette();
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        palette.setColor(group, QPalette::Text, Qt::red);
    edit->setPalette(palette);
}

template <class Widget>
Widget* placed(Widget* widget, const char* name, int left, int top, int width, int height) {
    widget->setObjectName(QString::fromLatin1(name));
    widget->setGeometry(left, top, width, height);
    return widget;
}

} // namespace

// The icons live in the static UI library, whose resources must be registered by hand.
static void initResources() {
    Q_INIT_RESOURCE(resources);
}

FrmCopyConfig FrmCopyConfig::forApplication() {
    const std::filesystem::path dir = toPath(QCoreApplication::applicationDirPath());
    FrmCopyConfig config;
    config.settingsFile = dir / kw::settings::kFileName;
#ifdef _WIN32
    auto loader = std::make_shared<kw::SystemLibraryLoader>(dir);
    config.programmer = [loader] { return std::make_unique<kw::DlProgrammer>(loader); };
#else
    // The library in a process of its own: one that crashes or hangs ends only that process.
    kw::HelperSettings helper = kw::helperBesideExecutable();
    helper.helper = dir / kw::helper::kHelperFileName;
    helper.libraryFolder = dir;
    config.programmer = [helper] { return std::make_unique<kw::ProcessProgrammer>(helper); };
#endif
    config.prompts = std::make_shared<kw::QtPrompts>();
    config.pause = [](int ms) { kw::preciseSleep(ms); };
    return config;
}

// Marks the window as transferring for the lifetime of one download or read-back, and
// honours a close request that arrived meanwhile once the transfer has ended.
class TFrmCopy::TransferGuard {
public:
    explicit TransferGuard(TFrmCopy& window) : window_(window) { window_.transferRunning_ = true; }
    ~TransferGuard() {
        window_.transferRunning_ = false;
        if (window_.closeRequestedDuringTransfer_) {
            window_.closeRequestedDuringTransfer_ = false;
            QMetaObject::invokeMethod(&window_, &QWidget::close, Qt::QueuedConnection);
        }
    }
    TransferGuard(const TransferGuard&) = delete;
    TransferGuard& operator=(const TransferGuard&) = delete;

private:
    TFrmCopy& window_;
};

namespace {

// The window's words for what a transfer meets.
constexpr const char* kLibraryMissingText = "TOLVANEX.dll没有找到";
constexpr const char* kProgrammerMissingText = "未发现KALIWIRE设备!";

std::string stoppedText(const kw::ProgrammerStopped& stop) {
    std::string text = "TOLVANEX.dll已停止运行：";
    const std::string value = std::to_string(stop.value());
    switch (stop.kind()) {
    case kw::StopKind::Signal: {
        text += "信号 " + value;
        const std::string name = kw::signalName(stop.value());
        if (!name.empty())
            text += " (" + name + ")";
        break;
    }
    case kw::StopKind::Exit:
        text += "退出码 " + value;
        break;
    case kw::StopKind::Timeout:
        text += "超过 " + value + " 秒没有响应";
        break;
    }
    return text;
}

} // namespace

class TFrmCopy::WindowTransferHost final : public kw::TransferHost {
public:
    explicit WindowTransferHost(TFrmCopy& window) : window_(window) {}

    // The box alone would send the user looking for a file they already have: a file that
    // is there but does not load gets its reason in the log.
    void libraryMissing(kw::TransferKind, const std::string& reason) override {
        message(kLibraryMissingText);
        if (!reason.empty())
            line(reason);
    }
    // The window passes no options; a refusal is a library it cannot use.
    void optionRefused(kw::TransferKind kind, const kw::OptionRefusal&,
                       const std::string& reason) override {
        libraryMissing(kind, reason);
    }
    void started(kw::TransferKind kind) override {
        if (kind == kw::TransferKind::Download)
            window_.appendStampedLine(QStringLiteral("正在下载芯片数据......"));
    }
    void exportMissing(kw::TransferKind, const char* exportName) override {
        message(std::string(exportName) + "函数没有找到");
    }
    void blockDone(kw::TransferKind, int block) override { window_.ProgressBar1->setValue(block); }
    void blockFailed(kw::TransferKind kind, int block, kw::ResultCode code,
                     const std::string& libraryText) override {
        if (code == kw::kProgrammerNotFound)
            message(kProgrammerMissingText);
        line("出错代码:" + std::to_string(code));
        line((kind == kw::TransferKind::Download ? "出错进度:" : "出错位置:") +
             std::to_string(block));
        if (!libraryText.empty())
            line(libraryText);
    }
    void stopped(kw::TransferKind, const kw::ProgrammerStopped& stop) override {
        const std::string text = stoppedText(stop);
        message(text);
        line(text);
    }
    void finished(kw::TransferKind kind) override {
        if (kind == kw::TransferKind::Download)
            window_.appendStampedLine(QStringLiteral("下载芯片数据完成。"));
    }

    void setProgressMaximum(int maximum) override { window_.ProgressBar1->setMaximum(maximum); }
    void processEvents() override { QCoreApplication::processEvents(); }
    void pause(int milliseconds) override {
        if (window_.config_.pause)
            window_.config_.pause(milliseconds);
    }

private:
    void message(const std::string& text) {
        window_.config_.prompts->message(&window_, QString::fromStdString(text));
    }
    void line(const std::string& text) { window_.Memo2->appendLine(QString::fromStdString(text)); }

    TFrmCopy& window_;
};

TFrmCopy::TFrmCopy(FrmCopyConfig config, QWidget* parent)
    : QMainWindow(parent), config_(std::move(config)) {
    if (!config_.prompts)
        config_.prompts = std::make_shared<kw::QtPrompts>();
    if (!config_.programmer)
        config_.programmer = FrmCopyConfig::forApplication().programmer;
    initResources();
    buildWindow();
    wireEvents();
    FormCreate();
}

TFrmCopy::~TFrmCopy() = default;

// ---------------------------------------------------------------------------------------------
// Window description

void TFrmCopy::buildWindow() {
    setObjectName(QStringLiteral("FrmCopy"));
    setWindowTitle(QStringLiteral("STM8S SWIM 脱机烧写镜像下载工具  KALIWIRE  版本 %1")
                       .arg(QStringLiteral(KW_VERSION)));
    setWindowIcon(QIcon(QStringLiteral(":/icons/kaliwire.svg")));
    setFont(songTypeFont(12));

    auto* area = new QWidget(this);
    area->setObjectName(QStringLiteral("clientArea"));
    area->setFixedSize(kClientWidth, kClientHeight - kStatusBarHeight);
    setCentralWidget(area);

    buildToolButtons(area);

    grid = placed(new QTabWidget(area), "grid", 8, 65, 665, 273);
    flashbuff = new QWidget;
    flashbuff->setObjectName(QStringLiteral("flashbuff"));
    eepbuff = new QWidget;
    eepbuff->setObjectName(QStringLiteral("eepbuff"));
    OfflineSetting = new QWidget;
    OfflineSetting->setObjectName(QStringLiteral("OfflineSetting"));
    grid->addTab(flashbuff, QStringLiteral("FLASH"));
    grid->addTab(eepbuff, QStringLiteral("EEPROM"));
    grid->addTab(OfflineSetting, QStringLiteral("脱机烧写配置"));
    grid->setCurrentWidget(flashbuff);
    buildGrids();
    buildOfflineTab();

    ProgressBar1 = placed(new QProgressBar(area), "ProgressBar1", 8, 341, 665, 9);
    ProgressBar1->setTextVisible(false);
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);

    buildDeviceRow(area);

    Memo2 = placed(new kw::LogPane(area), "Memo2", 4, 380, 665, 73);
    Memo2->setFont(songTypeFont(12));
    Memo2->appendLine(kWelcomeLine);

    StatusBar1 = new QStatusBar(this);
    StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
    StatusBar1->setFixedHeight(kStatusBarHeight);
    StatusBar1->setSizeGripEnabled(false);
    StatusBar1->setToolTip(QStringLiteral("Statusbar Hint"));
    statusPanel = new QLabel(kNoFileOpen, StatusBar1);
    statusPanel->setObjectName(QStringLiteral("StatusPanel1"));
    statusPanel->setFixedWidth(500);
    StatusBar1->addWidget(statusPanel);
    setStatusBar(StatusBar1);

    buildMenu();

    // Not resizable: the client area keeps its size whatever the menu bar's height.
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    adjustSize();
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

void TFrmCopy::buildToolButtons(QWidget* area) {
    struct ToolButtonLayout {
        QToolButton** member;
        const char* name;
        QString caption;
        const char* icon;
        int left;
        Qt::ToolButtonStyle style;
        bool enabled;
    };
    const ToolButtonLayout layouts[] = {
        {&OpenBin, "OpenBin", QStringLiteral("Bin"), "open-bin", 11, Qt::ToolButtonTextBesideIcon,
         true},
        {&OpenHex, "OpenHex", QStringLiteral("Hex"), "open-hex", 71, Qt::ToolButtonTextBesideIcon,
         true},
        {&ReadBtn, "ReadBtn", QStringLiteral("读"), "read", 131, Qt::ToolButtonTextUnderIcon,
         false},
        {&DownLoadBtn, "DownLoadBtn", QStringLiteral("下载"), "download", 191,
         Qt::ToolButtonTextUnderIcon, false},
        {&VerifyBtn, "VerifyBtn", QStringLiteral("校验"), "verify", 252,
         Qt::ToolButtonTextUnderIcon, false},
    };
    for (const ToolButtonLayout& tool : layouts) {
        auto* button = placed(new QToolButton(area), tool.name, tool.left, 5, 56, 56);
        button->setText(tool.caption);
        button->setIcon(QIcon(QStringLiteral(":/icons/%1.svg").arg(QLatin1String(tool.icon))));
        button->setIconSize(QSize(24, 24));
        button->setToolButtonStyle(tool.style);
        button->setAutoRaise(true);
        button->setFocusPolicy(Qt::StrongFocus);
        button->setEnabled(tool.enabled);
        *tool.member = button;
    }

    dispbuff =
        placed(new QPushButton(QStringLiteral("刷新Flash表格"), area), "dispbuff", 572, 5, 104, 26);
    dispbuff->setVisible(false);
    dispeebuffer = placed(new QPushButton(QStringLiteral("刷新eeprom表格"), area), "dispeebuffer",
                          572, 35, 104, 26);
    dispeebuffer->setVisible(false);
}

void TFrmCopy::buildGrids() {
    const auto makeGrid = [](QWidget* page, const char* name, const QColor& textColour) {
        auto* view = placed(new kw::StringGridView(page), name, 8, 8, 641, 228);
        view->setFont(kw::StringGridView::dumpFont());
        view->horizontalHeader()->setFont(kw::StringGridView::dumpFont());
        view->verticalHeader()->setFont(kw::StringGridView::dumpFont());
        // The string grid's classic row height: nine rows of the dump in view.
        view->verticalHeader()->setDefaultSectionSize(24);
        // The grid's colour covers the fixed row and column as well.
        for (QWidget* part :
             {static_cast<QWidget*>(view), static_cast<QWidget*>(view->horizontalHeader()),
              static_cast<QWidget*>(view->verticalHeader())}) {
            QPalette palette = part->palette();
            for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
                palette.setColor(group, QPalette::Text, textColour);
                palette.setColor(group, QPalette::ButtonText, textColour);
            }
            part->setPalette(palette);
        }
        return view;
    };
    flashGrid = makeGrid(flashbuff, "flashGrid", QColor(0x80, 0x00, 0x00)); // maroon
    EepromGrid = makeGrid(eepbuff, "EepromGrid", QColor(0x00, 0x80, 0x80)); // teal
    flashGrid->setEditableColumns(1, kw::hexdump::kBytesPerRow);
}

void TFrmCopy::buildDeviceRow(QWidget* area) {
    auto* modelLabel = placed(new QLabel(QStringLiteral("型号："), area), "Label1", 8, 357, 40, 16);
    deviceBox = placed(new QComboBox(area), "deviceBox", 48, 353, 121, 20);
    deviceBox->setEditable(true);
    for (const kw::Chip* chip : kw::kWindowChips)
        deviceBox->addItem(text(chip->deviceRowName));
    deviceBox->setCurrentIndex(deviceBox->findText(text(kw::kLargestChip.deviceRowName)));
    modelLabel->setBuddy(deviceBox);

    placed(new QLabel(QStringLiteral("Flash:"), area), "Label2", 185, 357, 44, 16);
    txtflashsize = placed(new QLineEdit(flashSizeText(kw::kLargestChip), area), "txtflashsize", 232,
                          353, 49, 20);
    txtflashsize->setReadOnly(true);
    txtflashsize->setEnabled(false);
    setRedText(txtflashsize);

    placed(new QLabel(QStringLiteral("EEProm"), area), "Label3", 288, 357, 46, 16);
    txteepromsize =
        placed(new QLineEdit(QStringLiteral("256"), area), "txteepromsize", 336, 353, 41, 20);
    txteepromsize->setReadOnly(true);
    txteepromsize->setEnabled(false);
    setRedText(txteepromsize);
}

void TFrmCopy::buildOfflineTab() {
    QWidget* page = OfflineSetting;
    auto* chipLabel =
        placed(new QLabel(QStringLiteral("目标芯片:"), page), "Label4", 16, 20, 72, 20);
    STM8SModel = placed(new QComboBox(page), "STM8SModel", 96, 18, 121, 22);
    STM8SModel->setEditable(true);
    for (const kw::Chip* chip : kw::kWindowChips)
        STM8SModel->addItem(text(chip->name));
    STM8SModel->setCurrentIndex(STM8SModel->findText(text(kw::kLargestChip.name)));
    chipLabel->setBuddy(STM8SModel);

    placed(new QLabel(QStringLiteral("Flash："), page), "Label5", 232, 20, 52, 20);
    AVRFlash =
        placed(new QLineEdit(flashSizeText(kw::kLargestChip), page), "AVRFlash", 288, 18, 60, 22);
    AVRFlash->setReadOnly(true);
    setRedText(AVRFlash);

    SWIMSCK =
        placed(new QGroupBox(QStringLiteral("SWIM通讯时钟"), page), "SWIMSCK", 16, 56, 201, 86);
    swimClockModes = new QButtonGroup(SWIMSCK);
    swimClockModes->setObjectName(QStringLiteral("swimClockModes"));
    const QString modes[] = {QStringLiteral("低速模式"), QStringLiteral("高速模式")};
    for (int i = 0; i < 2; ++i) {
        auto* radio = placed(new QRadioButton(modes[i], SWIMSCK),
                             i == 0 ? "swimLowSpeed" : "swimHighSpeed", 16, 24 + i * 28, 160, 22);
        swimClockModes->addButton(radio, i);
    }
    swimClockModes->button(0)->setChecked(true);

    placed(new QLabel(QStringLiteral("自定义系列号地址："), page), "Label6", 240, 64, 130, 20);
    Edit15 = placed(new QLineEdit(QStringLiteral("1000"), page), "Edit15", 376, 62, 80, 22);
    Edit15->setEnabled(false);
    placed(new QLabel(QStringLiteral("系列号起始值："), page), "Label7", 240, 100, 130, 20);
    Edit16 = placed(new QLineEdit(QStringLiteral("8888"), page), "Edit16", 376, 98, 80, 22);
    Edit16->setEnabled(false);

    ReadPara =
        placed(new QPushButton(QStringLiteral("读取参数"), page), "ReadPara", 16, 168, 96, 30);
    ReadPara->setEnabled(false);
    WritePara =
        placed(new QPushButton(QStringLiteral("写入参数"), page), "WritePara", 121, 168, 96, 30);
    WritePara->setEnabled(false);
}

void TFrmCopy::buildMenu() {
    QMenuBar* bar = menuBar();
    bar->setObjectName(QStringLiteral("MainMenu1"));
    fileoper = bar->addMenu(QStringLiteral("文件&F"));
    fileoper->setObjectName(QStringLiteral("fileoper"));
    mnu_openbin = fileoper->addAction(QStringLiteral("打开BIN"));
    mnu_openbin->setObjectName(QStringLiteral("mnu_openbin"));
    mnu_openhex = fileoper->addAction(QStringLiteral("打开HEX"));
    mnu_openhex->setObjectName(QStringLiteral("mnu_openhex"));
    mnu_about = bar->addMenu(QStringLiteral("关于&A"));
    mnu_about->setObjectName(QStringLiteral("mnu_about"));
    mnu_copyright = mnu_about->addAction(QStringLiteral("版权"));
    mnu_copyright->setObjectName(QStringLiteral("mnu_copyright"));

    auto* openFileMenu = new QShortcut(QKeySequence(QStringLiteral("Ctrl+F")), this);
    openFileMenu->setObjectName(QStringLiteral("fileoperShortcut"));
    connect(openFileMenu, &QShortcut::activated, this,
            [this] { menuBar()->setActiveAction(fileoper->menuAction()); });
}

// ---------------------------------------------------------------------------------------------
// Wiring

void TFrmCopy::wireEvents() {
    const auto on = [this](auto* sender, auto signal, void (TFrmCopy::*handler)()) {
        connect(sender, signal, this,
                [this, handler] { runHandler([this, handler] { (this->*handler)(); }); });
    };
    on(OpenBin, &QToolButton::clicked, &TFrmCopy::openbinClick);
    on(OpenHex, &QToolButton::clicked, &TFrmCopy::OpenHexClick);
    on(DownLoadBtn, &QToolButton::clicked, &TFrmCopy::DownLoadBtnClick);
    on(ReadBtn, &QToolButton::clicked, &TFrmCopy::ReadBtnClick);
    on(dispbuff, &QPushButton::clicked, &TFrmCopy::dispbuffclick);
    on(dispeebuffer, &QPushButton::clicked, &TFrmCopy::dispeebufferClick);
    on(flashGrid, &kw::StringGridView::cellSelected, &TFrmCopy::flashGridClick);
    on(deviceBox, &QComboBox::currentTextChanged, &TFrmCopy::deviceBoxChange);
    on(STM8SModel, &QComboBox::currentTextChanged, &TFrmCopy::STM8SModelChange);
    on(swimClockModes, &QButtonGroup::idClicked, &TFrmCopy::SWIMSCKClick);
    on(Memo2, &kw::LogPane::doubleClicked, &TFrmCopy::Memo2DblClick);
    on(mnu_openbin, &QAction::triggered, &TFrmCopy::mnu_openbinClick);
    on(mnu_openhex, &QAction::triggered, &TFrmCopy::mnu_openhexClick);
    on(mnu_copyright, &QAction::triggered, &TFrmCopy::mnu_copyrightClick);
    flashGrid->onKeyPress = [this](char& key) {
        runHandler([this, &key] { flashGridKeyPress(key); });
    };
}

void TFrmCopy::runHandler(const std::function<void()>& body) {
    const bool reachedByClick = std::exchange(captureNextHandlerFailure_, false);
    try {
        body();
    } catch (const std::exception& failure) {
        if (reachedByClick)
            clickedHandlerFailure_ = std::current_exception();
        else
            config_.prompts->error(this, QString::fromUtf8(failure.what()));
    } catch (...) {
        if (reachedByClick)
            clickedHandlerFailure_ = std::current_exception();
        else
            config_.prompts->error(this, QStringLiteral("Unexpected failure"));
    }
}

void TFrmCopy::performClick(QAbstractButton* button) {
    clickedHandlerFailure_ = nullptr;
    captureNextHandlerFailure_ = true;
    button->click();
    captureNextHandlerFailure_ = false;
    if (auto failure = std::exchange(clickedHandlerFailure_, nullptr))
        std::rethrow_exception(failure);
}

bool TFrmCopy::refusedDuringTransfer() {
    if (!transferRunning_)
        return false;
    config_.prompts->beep();
    return true;
}

void TFrmCopy::writeSetting(const char* key, const QString& value) {
    // A settings file that cannot be written must not stop the operation; nothing is shown.
    (void)kw::writeProfileString(config_.settingsFile, kw::settings::kSection, key, utf8(value));
}

std::optional<QString> TFrmCopy::chooseImageFile(const QString& filter) {
    if (refusedDuringTransfer())
        return std::nullopt;
    return config_.prompts->openFile(this, kOpenTitle, filter);
}

void TFrmCopy::setStatusText(const QString& text) {
    statusPanel->setText(text);
}

void TFrmCopy::appendStampedLine(const QString& message) {
    StampTime = QTime::currentTime();
    Memo2->appendLine(kw::longTimeText(StampTime) + QStringLiteral("   ") + message);
}

void TFrmCopy::closeEvent(QCloseEvent* event) {
    if (transferRunning_) {
        closeRequestedDuringTransfer_ = true;
        event->ignore();
        return;
    }
    QMainWindow::closeEvent(event);
}

// ---------------------------------------------------------------------------------------------
// Handlers

void TFrmCopy::FormCreate() {
    FlashSize = kw::kLargestChip.flashSize;
    EepromSize = 256;
}

void TFrmCopy::OpenHexClick() {
    const auto chosen = chooseImageFile(kHexFilter);
    if (!chosen)
        return;
    writeSetting(kw::settings::kLastOpenHex, *chosen);
    setStatusText(kHexStatusLabel + *chosen);
    const std::int32_t size = kw::strToInt(utf8(txtflashsize->text()));
    // The image is built aside: a load that fails leaves the current one in place.
    kw::HexLoadResult loaded = kw::loadIntelHexFile(toPath(*chosen), size);
    FlashSize = size;
    FlashBuf = std::move(loaded.image);
    if (loaded.cut) {
        config_.prompts->message(this, kImageTooLarge);
        DownLoadBtn->setEnabled(true);
        performClick(dispbuff);
    } else {
        performClick(dispbuff);
        DownLoadBtn->setEnabled(true);
    }
    takeHexAreas(loaded);
}

void TFrmCopy::takeHexAreas(const kw::HexLoadResult& loaded) {
    const kw::HexArea& eeprom = loaded.eeprom;
    const kw::HexArea& options = loaded.options;
    if (eeprom.count() == 0 && options.count() == 0)
        return;
    QStringList found;
    if (eeprom.count() != 0) {
        const std::int32_t size = kw::strToInt(utf8(txteepromsize->text()));
        auto image = kw::makeErasedImage(size, size);
        std::size_t past = 0;
        for (std::uint32_t at = eeprom.base(); at < eeprom.end(); ++at)
            if (eeprom.defined(at) && !image->write(at - eeprom.base(), eeprom.value(at)))
                ++past;
        EepromSize = size;
        EepromBuf = std::move(image);
        performClick(dispeebuffer);
        if (past != 0)
            appendStampedLine(
                QStringLiteral("EEPROM数据超出EEPROM大小(%1字节)：0x%2起的%3字节未载入。")
                    .arg(size)
                    .arg(eeprom.base() + static_cast<std::uint32_t>(std::max(size, 0)), 4, 16,
                         QLatin1Char('0'))
                    .arg(past));
        found << QStringLiteral("EEPROM数据(%1字节)").arg(eeprom.count());
    }
    if (options.count() != 0)
        found << QStringLiteral("选项字节数据(%1字节)").arg(options.count());
    appendStampedLine(QStringLiteral("文件含") + found.join(QStringLiteral("和")) +
                      QStringLiteral("：") +
                      (eeprom.count() != 0 ? QStringLiteral("已载入EEPROM表格；") : QString()) +
                      QStringLiteral("下载只写入Flash。"));
}

void TFrmCopy::openbinClick() {
    const auto chosen = chooseImageFile(kBinFilter);
    if (!chosen)
        return;
    writeSetting(kw::settings::kLastOpenBin, *chosen);
    setStatusText(kBinStatusLabel + *chosen);
    const std::int32_t size = kw::strToInt(utf8(txtflashsize->text()));
    auto image = kw::loadBinaryImageFile(toPath(*chosen), size);
    FlashSize = size;
    FlashBuf = std::move(image);
    performClick(dispbuff);
    DownLoadBtn->setEnabled(true);
}

void TFrmCopy::eeloadbinClick() {
    const auto chosen = chooseImageFile(kEepromFilter);
    if (!chosen)
        return;
    setStatusText(kBinStatusLabel + *chosen);
    const std::int32_t size = kw::strToInt(utf8(txteepromsize->text()));
    auto image = kw::loadBinaryImageFile(toPath(*chosen), size);
    EepromSize = size;
    EepromBuf = std::move(image);
    performClick(dispeebuffer);
    appendStampedLine(kEepromLoaded);
}

void TFrmCopy::LoadflashbuffClick() {
    performClick(OpenHex);
}
void TFrmCopy::mnu_openhexClick() {
    performClick(OpenHex);
}
void TFrmCopy::mnu_openbinClick() {
    performClick(OpenBin);
}

void TFrmCopy::BuffclearClick() {
    if (refusedDuringTransfer())
        return;
    FlashBuf = kw::makeErasedImage(FlashSize, FlashSize);
    performClick(dispbuff);
}

void TFrmCopy::eebuffclearClick() {
    if (refusedDuringTransfer())
        return;
    EepromBuf = kw::makeErasedImage(EepromSize, EepromSize);
    performClick(dispeebuffer);
}

void TFrmCopy::redrawGrid(kw::StringGridView* view, const kw::ImageBuffer* image,
                          std::int32_t size) {
    namespace hd = kw::hexdump;
    kw::StringGridModel* cells = view->grid();
    cells->setGridRowCount(std::max(1, hd::rowCountFor(size)));
    for (int c = 1; c <= hd::kBytesPerRow; ++c) {
        cells->setColumnWidth(c, hd::kByteColumnWidth);
        cells->setCell(c, 0, QString::fromStdString(hd::byteHex(static_cast<std::uint8_t>(c - 1))));
    }
    cells->setColumnWidth(hd::kColumnCount - 1, hd::kAsciiColumnWidth);
    cells->fillDump(image, size);
}

void TFrmCopy::writeGridCorner(kw::StringGridView* view) {
    namespace hd = kw::hexdump;
    kw::StringGridModel* cells = view->grid();
    cells->setCell(0, 0, QString::fromLatin1(hd::kAddressHeader));
    cells->setColumnWidth(0, hd::kAddressColumnWidth);
    cells->setCell(hd::kColumnCount - 1, 0, QString::fromLatin1(hd::kAsciiHeader));
}

void TFrmCopy::dispbuffclick() {
    writeGridCorner(flashGrid);
    // Re-read on every redraw: the device choice changes the size box, not FlashSize.
    FlashSize = kw::strToInt(utf8(txtflashsize->text()));
    redrawGrid(flashGrid, FlashBuf.get(), FlashSize);
}

void TFrmCopy::dispeebufferClick() {
    writeGridCorner(EepromGrid);
    redrawGrid(EepromGrid, EepromBuf.get(), EepromSize);
}

void TFrmCopy::flashGridClick() {
    const auto index = kw::hexdump::bufferIndex(flashGrid->col(), flashGrid->row());
    flashGrid->setHint(kCellAddressHint + QString::number(index));
}

void TFrmCopy::flashGridKeyPress(char& Key) {
    const int column = flashGrid->col();
    const int row = flashGrid->row();
    const std::string text = utf8(flashGrid->grid()->cell(column, row));
    switch (kw::filterGridKey(text, Key)) {
    case kw::KeyVerdict::Pass:
        break;
    case kw::KeyVerdict::Discard:
        Key = 0;
        return;
    case kw::KeyVerdict::DiscardWithAlert:
        Key = 0;
        config_.prompts->beep();
        return;
    }
    if (Key != kw::kKeyEnter)
        return;
    kw::StringGridModel* cells = flashGrid->grid();
    if (refusedDuringTransfer()) {
        Key = 0;
        // Nothing was stored, so the cell must not go on showing a byte the image lacks.
        cells->discardTypedText(column, row);
        return;
    }
    const std::string committed = utf8(cells->cell(column, row));
    const std::int64_t index = kw::hexdump::bufferIndex(column, row);
    if (kw::commitCellText(FlashBuf.get(), FlashSize, index, committed))
        cells->byteStored(index, *FlashBuf->read(index));
}

void TFrmCopy::deviceBoxChange() {
    if (const kw::Chip* chip = kw::chipOnDeviceRow(utf8(deviceBox->currentText())))
        txtflashsize->setText(flashSizeText(*chip));
}

void TFrmCopy::STM8SModelChange() {
    if (const kw::Chip* chip = kw::chipNamed(utf8(STM8SModel->currentText()), kw::kWindowChips))
        AVRFlash->setText(flashSizeText(*chip));
}

void TFrmCopy::SWIMSCKClick() {
    writeSetting(kw::settings::kSwimClock, QString::number(swimClockModes->checkedId()));
}

void TFrmCopy::Memo2DblClick() {
    Memo2->clear();
}

void TFrmCopy::mnu_copyrightClick() {
    if (Frm_about == nullptr)
        Frm_about = new TFrm_about(this);
    Frm_about->showCentredOn(this);
}

void TFrmCopy::DownLoadBtnClick() {
    if (refusedDuringTransfer())
        return;
    TransferGuard running(*this);
    WindowTransferHost host(*this);
    const auto programmer = config_.programmer();
    kw::runDownload(
        *programmer, [this] { return FlashBuf.get(); }, host);
}

void TFrmCopy::ReadBtnClick() {
    if (refusedDuringTransfer())
        return;
    kw::ReadBackResult result;
    {
        TransferGuard running(*this);
        WindowTransferHost host(*this);
        const auto programmer = config_.programmer();
        result = kw::runReadBack(*programmer, host);
    }
    switch (result.outcome) {
    case kw::TransferOutcome::Completed:
        // Only a complete read replaces the image; a partial one would be sent by a download.
        FlashBuf = std::move(result.image);
        performClick(dispbuff);
        break;
    case kw::TransferOutcome::LibraryMissing:
    case kw::TransferOutcome::OptionRefused:
    case kw::TransferOutcome::ExportMissing:
        performClick(dispbuff);
        break;
    case kw::TransferOutcome::BlockFailed:
    case kw::TransferOutcome::Stopped:
    case kw::TransferOutcome::Cancelled: // the window's host never cancels
        break;
    }
}
