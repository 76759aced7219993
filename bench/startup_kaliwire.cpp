// The tool's start-up as app/main.cpp runs it, until the end of the main window's first paint.
// Run by bench_launch (bench/startup.sh); prints the line of startup_probe.h.
//
// usage: bench_startup_kaliwire [--open-hex FILE]
//   --open-hex FILE  after the first paint, opens FILE with the window's Hex button (the open
//                    dialog answered with FILE) and waits for the grid's repaint, so that the
//                    peak memory includes a loaded image on screen.

#include <QApplication>
#include <QSocketNotifier>
#include <QToolButton>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>

#include "app/Prompts.h"
#include "app/TFrmCopy.h"
#include "bench/startup_probe.h"

namespace {

// Start-up lines of app/main.cpp, copied so that this program does the same work before the
// first paint.
int signalPipe[2] = {-1, -1};

void forwardSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[0], &byte, 1);
}

void closeOnTerminationSignals(QWidget& window) {
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(signalPipe[1], QSocketNotifier::Read, &window);
    QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window] {
        char byte = 0;
        [[maybe_unused]] const ssize_t got = ::read(signalPipe[1], &byte, 1);
        window.close();
    });
    struct sigaction action = {};
    action.sa_handler = forwardSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

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

    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kaliwire"));
    QApplication::setDesktopFileName(QStringLiteral("kaliwire"));

    FrmCopyConfig config = FrmCopyConfig::forApplication();
    std::shared_ptr<OpenFilePrompts> prompts;
    if (hexFile) {
        prompts = std::make_shared<OpenFilePrompts>(QString::fromLocal8Bit(hexFile));
        config.prompts = prompts;
    }
    TFrmCopy FrmCopy(std::move(config));
    closeOnTerminationSignals(FrmCopy);

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
