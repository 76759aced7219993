// The references for the start-up benchmark: an empty QMainWindow, shown, until the end of its
// first paint; with --label, the same window showing one line of Chinese text, which makes Qt
// load its font database as every window with text must. Run by bench_launch
// (bench/startup.sh); prints the line of startup_probe.h.

#include <QApplication>
#include <QLabel>
#include <QMainWindow>
#include <cstring>

#include "bench/startup_probe.h"

int main(int argc, char** argv) {
    const bool withLabel = argc == 2 && std::strcmp(argv[1], "--label") == 0;
    QApplication application(argc, argv);
    QMainWindow window;
    if (withLabel)
        window.setCentralWidget(new QLabel(QStringLiteral("Hello,欢迎使用STM8S KALIWIRE")));
    kw::bench::FirstPaintProbe probe(window, [](long long painted) {
        kw::bench::report(painted);
        QCoreApplication::exit(0);
    });
    window.show();
    return QApplication::exec();
}
