// Takes the README's screenshots of the real main window: opens an image through the window's
// own "Hex" button (the open dialog answered by this program), optionally downloads it to the
// programmer library beside the executable, and saves the window as PNG.
//
//   kw_screenshot OUT.png [IMAGE.hex] [--download] [--readback] [--tab N] [--top]
//                 [--pending] [--boxes]
//
// --boxes shows the window's message boxes as a user sees them (left open, so that the
// transfer goes on) and saves the whole screen rather than the window alone.
// --readback clears the image after the download and reads it back from the programmer
// library, then says on stderr whether the image read equals the one downloaded.
// --pending types into two cells without committing them, as a user who left one cell and is
// still typing in the other would, to show how text that is not the image looks.
#include <QApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPixmap>
#include <QScreen>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "app/Prompts.h"
#include "app/TFrmCopy.h"
#include "target/Chip.h"
#include "view/StringGridView.h"

namespace {

class AnsweringPrompts final : public kw::Prompts {
public:
    AnsweringPrompts(QString file, bool boxes) : file_(std::move(file)), boxes_(boxes) {}
    std::optional<QString> openFile(QWidget*, const QString&, const QString&) override {
        return file_.isEmpty() ? std::nullopt : std::optional<QString>(file_);
    }
    void message(QWidget* parent, const QString& text) override {
        std::fprintf(stderr, "message: %s\n", qPrintable(text));
        if (!boxes_)
            return;
        auto* box = new QMessageBox(QMessageBox::Information, QStringLiteral("KALIWIRE"), text,
                                    QMessageBox::Ok, parent);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
    }
    void error(QWidget*, const QString& text) override {
        std::fprintf(stderr, "error: %s\n", qPrintable(text));
    }
    void beep() override {}

private:
    QString file_;
    bool boxes_;
};

// Keys as the keyboard delivers them to the grid.
void typeInto(QWidget* grid, std::initializer_list<std::pair<Qt::Key, const char*>> keys) {
    for (const auto& [key, text] : keys) {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, QString::fromLatin1(text));
        QApplication::sendEvent(grid, &press);
    }
}

} // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    const QStringList args = QApplication::arguments();
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: kw_screenshot OUT.png [IMAGE.hex] [--download]\n");
        return 2;
    }
    const QString& out = args[1];
    const QString image =
        args.size() > 2 && !args[2].startsWith(QLatin1String("--")) ? args[2] : QString();
    const bool download = args.contains(QStringLiteral("--download"));
    const bool readBack = args.contains(QStringLiteral("--readback"));
    const bool pending = args.contains(QStringLiteral("--pending"));
    const bool boxes = args.contains(QStringLiteral("--boxes"));
    const bool top = args.contains(QStringLiteral("--top")); // the grids from their first row
    const qsizetype tabAt = args.indexOf(QStringLiteral("--tab"));
    const int tab = tabAt > 0 && tabAt + 1 < args.size() ? args[tabAt + 1].toInt() : 0;
    int status = 0;

    FrmCopyConfig config = FrmCopyConfig::forApplication();
    config.prompts = std::make_shared<AnsweringPrompts>(image, boxes);
    // Keep the user's settings file untouched.
    config.settingsFile = std::filesystem::temp_directory_path() / "kw_screenshot_TOLVANEX.INI";
    TFrmCopy window(config);
    window.show();

    QTimer::singleShot(300, [&] {
        if (!image.isEmpty())
            window.OpenHex->click();
        if (!image.isEmpty() && !top) {
            // Show the example's code and text rather than its vector table.
            window.flashGrid->setCurrentCell(1, 17);
            window.flashGrid->scrollTo(window.flashGrid->grid()->index(16, 0),
                                       QAbstractItemView::PositionAtTop);
        }
        if (pending) {
            kw::StringGridView* grid = window.flashGrid;
            grid->setCurrentCell(3, 18);
            typeInto(grid,
                     {{Qt::Key_Backspace, "\b"}, {Qt::Key_Backspace, "\b"}, {Qt::Key_7, "7"}});
            grid->setCurrentCell(6, 19);
            typeInto(grid, {{Qt::Key_Backspace, "\b"}});
        }
        if (download)
            window.DownLoadBtn->click();
        if (readBack && window.FlashBuf) {
            const auto all = window.FlashBuf->bytes();
            const auto sent =
                all.first(std::min<std::size_t>(all.size(), kw::kLargestChip.flashSize));
            const std::vector<std::uint8_t> expected(sent.begin(), sent.end());
            window.runHandler([&] { window.BuffclearClick(); });
            window.runHandler([&] { window.ReadBtnClick(); });
            const auto got = window.FlashBuf->bytes();
            const bool same = std::equal(got.begin(), got.end(), expected.begin(), expected.end());
            std::fprintf(stderr, "read-back %s the downloaded image\n",
                         same ? "equals" : "differs from");
            status = same ? 0 : 1;
        }
        window.grid->setCurrentIndex(tab);
        QTimer::singleShot(300, [&] {
            const bool saved = (boxes ? window.screen()->grabWindow(0) : window.grab()).save(out);
            std::fprintf(stderr, "%s %s\n", saved ? "saved" : "could not save", qPrintable(out));
            QApplication::exit(saved ? status : 1);
        });
    });
    return QApplication::exec();
}
