#pragma once

// The measuring side of the start-up benchmark, shared by the programs that bench_launch
// starts. Such a program prints one line on stdout before it exits:
//     <CLOCK_MONOTONIC in ns when its window's first frame was painted> <peak RSS in KiB>
// bench_launch took the same clock just before it started the process.

#include <QApplication>
#include <QEvent>
#include <QWidget>
#include <cstdio>
#include <ctime>
#include <functional>

#include "bench/peak_rss.h"

namespace kw::bench {

inline long long monotonicNanos() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// Waits for the first paint event of `window` or of any widget inside it (a child that
// covers its part of the window is painted without the window itself). The frame is
// complete once the event loop is reached again, after all widgets of that pass painted and
// the backing store was flushed; then the time is taken and `then` runs.
class FirstPaintProbe : public QObject {
public:
    FirstPaintProbe(QWidget& window, std::function<void(long long)> then)
        : window_(window), then_(std::move(then)) {
        QCoreApplication::instance()->installEventFilter(this);
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::Paint || !watched->isWidgetType() ||
            static_cast<QWidget*>(watched)->window() != &window_)
            return false;
        QCoreApplication::instance()->removeEventFilter(this);
        QMetaObject::invokeMethod(
            this, [this] { then_(monotonicNanos()); }, Qt::QueuedConnection);
        return false;
    }

private:
    QWidget& window_;
    std::function<void(long long)> then_;
};

// Prints the line for bench_launch.
inline void report(long long paintedNanos) {
    std::printf("%lld %lld\n", paintedNanos, peakRssKiB());
    std::fflush(stdout);
}

} // namespace kw::bench
