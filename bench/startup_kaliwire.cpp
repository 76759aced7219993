// The tool's start-up as app/main.cpp runs it, until the end of the main window's first paint.
// Run by bench_launch (bench/startup.sh); prints the line of startup_probe.h.
//
// usage: bench_startup_kaliwire [--open-hex FILE]
//   --open-hex FILE  after the first paint, opens FILE with the window's Hex button (the open
//                    dialog answered with FILE) and waits for the grid's repaint, so that the
//                    peak memory includes a loaded image on screen.

#include <QApplication>
#include <QToolButton>
#include <cstdio>
#include <cstring>
#include <memory>

#include "app/Prompts.h"
#include "app/Startup.h"
#include "app/TFrmCopy.h"
#include "bench/startup_probe.h"

namespace {

// Answers the open dialog with one file; any message or error box means the load did not go
// as a plain load of a fitting image goes.
class OpenFilePrompts final : public kw::Prompts {
public:
    explicit OpenFilePrompts(QString file) : file_(std::move(file)) {}
    std::optional<QString> openFile(QWidget*, const QString&, const QString&) override {
        return file_;
    }
    void message(QWidget*, const QString& text) override { fail(text); }
    void error(QWidget*, const QString& text) override { fail(text); }
    void beep() override { fail(QStringLiteral("beep")); }
    bool failed = false;

private:
    void fail(const QString& text) {
        std::fprintf(stderr, "bench_startup_kaliwire: %s\n", qPrintable(text));
        failed = true;
    }
    QString file_;
};

} // namespace

int main(int argc, char** argv) {
    const char* hexFile = nullptr;
    if (argc == 3 && std::strcmp(argv[1], "--open-hex") == 0) {
        hexFile = argv[2];
    } else if (argc != 1) {
        std::fprintf(stderr, "usage: bench_startup_kaliwire [--open-hex FILE]\n");
        return 2;
    }

    // The same start-up as app/main.cpp.
    QApplication application(argc, argv);
    kw::setApplicationNames();
    kw::loadQtChineseTexts();

    FrmCopyConfig config = FrmCopyConfig::forApplication();
    std::shared_ptr<OpenFilePrompts> prompts;
    if (hexFile) {
        prompts = std::make_shared<OpenFilePrompts>(QString::fromLocal8Bit(hexFile));
        config.prompts = prompts;
    }
    TFrmCopy FrmCopy(std::move(config));
    kw::closeOnTerminationSignals(FrmCopy);

    kw::bench::FirstPaintProbe probe(FrmCopy, [&](long long painted) {
        if (prompts) {
            FrmCopy.OpenHex->click();
            QCoreApplication::processEvents(); // the grid's repaint after the redraw
            if (prompts->failed || !FrmCopy.FlashBuf) {
                QCoreApplication::exit(1);
                return;
            }
        }
        kw::bench::report(painted);
        QCoreApplication::exit(0);
    });
    FrmCopy.show();
    return QApplication::exec();
}
