// The reference for the start-up benchmark: an empty QMainWindow, shown, until the end of its
// first paint. Run by bench_launch (bench/startup.sh); prints the line of startup_probe.h.

#include <QApplication>
#include <QMainWindow>

#include "bench/startup_probe.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QMainWindow window;
    kw::bench::FirstPaintProbe probe(window, [](long long painted) {
        kw::bench::report(painted);
        QCoreApplication::exit(0);
    });
    window.show();
    return QApplication::exec();
}
