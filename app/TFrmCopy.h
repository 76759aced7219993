#pragma once

#include <QMainWindow>
#include <QTime>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "image/ImageBuffer.h"
#include "programmer/Programmer.h"

class QAbstractButton;
class QAction;
class QButtonGroup;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QStatusBar;
class QTabWidget;
class QToolButton;

namespace kw {
struct HexLoadResult;
class LogPane;
class Prompts;
class StringGridView;
} // namespace kw

class TFrm_about;

// Where the main window finds the outside world. Tests point these at their own folders,
// libraries, prompts and pause; the tool uses the folder of its executable.
struct FrmCopyConfig {
    std::filesystem::path settingsFile;   // TOLVANEX.INI
    kw::ProgrammerFactory programmer;     // one programmer per transfer
    std::shared_ptr<kw::Prompts> prompts; // dialogs and message boxes
    std::function<void(int)> pause;       // the download's pause between blocks, in ms

    // Beside the running executable: its settings file, a programmer that looks for the
    // library there first, real dialogs, real pauses.
    static FrmCopyConfig forApplication();
};

// The main window. Every operation of the tool is one of its handlers; handlers call each
// other by performing clicks of controls, and every handler runs inside one guard that turns
// an exception into the standard error box.
class TFrmCopy : public QMainWindow {
    Q_OBJECT
public:
    explicit TFrmCopy(FrmCopyConfig config, QWidget* parent = nullptr);
    ~TFrmCopy() override;

    // State of the window.
    std::int32_t FlashSize = 0;
    std::int32_t EepromSize = 0;
    kw::ImageField FlashBuf;
    kw::ImageField EepromBuf;
    QTime StampTime;

    // Controls, named as their Qt object names.
    QToolButton* OpenBin = nullptr;
    QToolButton* OpenHex = nullptr;
    QToolButton* ReadBtn = nullptr;
    QToolButton* DownLoadBtn = nullptr;
    QToolButton* VerifyBtn = nullptr;
    QPushButton* dispbuff = nullptr;
    QPushButton* dispeebuffer = nullptr;
    QTabWidget* grid = nullptr;
    QWidget* flashbuff = nullptr;
    QWidget* eepbuff = nullptr;
    QWidget* OfflineSetting = nullptr;
    kw::StringGridView* flashGrid = nullptr;
    kw::StringGridView* EepromGrid = nullptr;
    QProgressBar* ProgressBar1 = nullptr;
    QComboBox* deviceBox = nullptr;
    QLineEdit* txtflashsize = nullptr;
    QLineEdit* txteepromsize = nullptr;
    kw::LogPane* Memo2 = nullptr;
    QStatusBar* StatusBar1 = nullptr;
    QLabel* statusPanel = nullptr;
    // Offline settings tab.
    QComboBox* STM8SModel = nullptr;
    QLineEdit* AVRFlash = nullptr;
    QGroupBox* SWIMSCK = nullptr;
    QButtonGroup* swimClockModes = nullptr;
    QLineEdit* Edit15 = nullptr;
    QLineEdit* Edit16 = nullptr;
    QPushButton* ReadPara = nullptr;
    QPushButton* WritePara = nullptr;
    // Menu.
    QMenu* fileoper = nullptr;
    QAction* mnu_openbin = nullptr;
    QAction* mnu_openhex = nullptr;
    QMenu* mnu_about = nullptr;
    QAction* mnu_copyright = nullptr;

    // Made on first use: nothing of it is needed to show the main window.
    TFrm_about* Frm_about = nullptr;

    // Handlers. Each runs inside the guard when reached through a control or menu item.
    void FormCreate();
    void openbinClick();
    void OpenHexClick();
    void DownLoadBtnClick();
    void ReadBtnClick();
    void dispbuffclick();
    void dispeebufferClick();
    void flashGridClick();
    void flashGridKeyPress(char& Key);
    void deviceBoxChange();
    void STM8SModelChange();
    void SWIMSCKClick();
    void Memo2DblClick();
    void mnu_openbinClick();
    void mnu_openhexClick();
    void mnu_copyrightClick();
    // Operations bound to no control.
    void BuffclearClick();
    void eebuffclearClick();
    void eeloadbinClick();
    void LoadflashbuffClick();

    // Appends the current time of day, three blanks and `message` to the log.
    void appendStampedLine(const QString& message);

    bool transferRunning() const { return transferRunning_; }

    // Runs a handler body: an exception ends it and shows the error box, unless the handler
    // was reached by performClick, in which case the failure goes on to the clicking handler.
    void runHandler(const std::function<void()>& body);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    class TransferGuard;
    friend class TransferGuard;
    class WindowTransferHost;

    void buildWindow();
    void buildToolButtons(QWidget* area);
    void buildGrids();
    void buildDeviceRow(QWidget* area);
    void buildOfflineTab();
    void buildMenu();
    void wireEvents();

    // Clicks a control as the user would: its handler runs now, and a failure in it ends the
    // caller too.
    void performClick(QAbstractButton* button);
    // A transfer is running: the operation is refused with the alert sound.
    bool refusedDuringTransfer();
    void writeSetting(const char* key, const QString& value);
    // The open dialog, unless a transfer is running; nothing when refused or cancelled.
    std::optional<QString> chooseImageFile(const QString& filter);
    void setStatusText(const QString& text);
    // The header texts and address column width that every redraw starts with.
    void writeGridCorner(kw::StringGridView* view);
    void redrawGrid(kw::StringGridView* view, const kw::ImageBuffer* image, std::int32_t size);
    // A HEX file's EEPROM bytes go to the EEPROM image; the log says what else it held.
    void takeHexAreas(const kw::HexLoadResult& loaded);

    FrmCopyConfig config_;
    bool captureNextHandlerFailure_ = false;
    std::exception_ptr clickedHandlerFailure_;
    bool transferRunning_ = false;
    bool closeRequestedDuringTransfer_ = false;
};
