// String grid benchmarks: the flash grid redraw with and without its repaint, and the same
// redraw into a QTableWidget holding one item per cell, for comparison.
// Prints Markdown table rows: | measurement | result | goal | reproduce with |

#include <QApplication>
#include <QHeaderView>
#include <QTableWidget>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "bench/hexgen.h"
#include "image/IntelHexLoader.h"
#include "target/Chip.h"
#include "view/HexDump.h"
#include "view/StringGridView.h"

namespace {

namespace hd = kw::hexdump;
using Clock = std::chrono::steady_clock;

constexpr int kFlashSize = kw::kLargestChip.flashSize;
constexpr const char* kReproduce = "`sh bench/grid.sh build-release`";

constexpr int warmUpRuns(int runs) {
    return runs / 10 + 1;
}

template <class Body> double medianMicros(int runs, Body&& body) {
    for (int i = 0; i < warmUpRuns(runs); ++i)
        body(i); // warm-up
    std::vector<double> times;
    times.reserve(static_cast<std::size_t>(runs));
    for (int i = 0; i < runs; ++i) {
        const auto start = Clock::now();
        body(i);
        times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// The flash redraw as the main window runs it: headers, widths, row count, then the dump.
void redraw(kw::StringGridModel& grid, const kw::ImageBuffer* image, int size) {
    grid.setCell(0, 0, QString::fromLatin1(hd::kAddressHeader));
    grid.setColumnWidth(0, hd::kAddressColumnWidth);
    grid.setCell(hd::kColumnCount - 1, 0, QString::fromLatin1(hd::kAsciiHeader));
    grid.setGridRowCount(hd::rowCountFor(size));
    for (int c = 1; c <= hd::kBytesPerRow; ++c) {
        grid.setColumnWidth(c, hd::kByteColumnWidth);
        grid.setCell(c, 0, QString::fromStdString(hd::byteHex(static_cast<std::uint8_t>(c - 1))));
    }
    grid.setColumnWidth(hd::kColumnCount - 1, hd::kAsciiColumnWidth);
    grid.fillDump(image, size);
}

// The same redraw cell by cell into items, as a string grid built on QTableWidget would do it.
void redrawItems(QTableWidget& table, const kw::ImageBuffer& image, int size) {
    const auto bytes = image.bytes();
    table.item(0, 0)->setText(QString::fromLatin1(hd::kAddressHeader));
    table.item(0, hd::kColumnCount - 1)->setText(QString::fromLatin1(hd::kAsciiHeader));
    for (int c = 1; c <= hd::kBytesPerRow; ++c)
        table.item(0, c)->setText(
            QString::fromStdString(hd::byteHex(static_cast<std::uint8_t>(c - 1))));
    for (int row = 1; row <= size / hd::kBytesPerRow; ++row) {
        table.item(row, 0)->setText(QString::fromStdString(hd::rowLabel(row)));
        char ascii[hd::kBytesPerRow];
        for (int c = 1; c <= hd::kBytesPerRow; ++c) {
            const std::uint8_t byte = bytes[static_cast<std::size_t>(hd::bufferIndex(c, row))];
            char text[2];
            hd::byteHex(byte, text);
            table.item(row, c)->setText(QString::fromLatin1(text, 2));
            ascii[c - 1] = hd::asciiOf(byte);
        }
        table.item(row, hd::kColumnCount - 1)
            ->setText(QString::fromLatin1(ascii, hd::kBytesPerRow));
    }
}

void row(const std::string& measurement, const std::string& result, const std::string& goal) {
    std::printf("| %s | %s | %s | %s |\n", measurement.c_str(), result.c_str(), goal.c_str(),
                kReproduce);
}

// Counts the paint events of a widget, to show that a measured run really painted.
class PaintCounter : public QObject {
public:
    explicit PaintCounter(QWidget* widget) : QObject(widget) { widget->installEventFilter(this); }
    int take() { return std::exchange(count_, 0); }
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint)
            ++count_;
        return false;
    }

private:
    int count_ = 0;
};

// The paint that follows a redraw is the one the event loop delivers once the handler returns.
void paintPending() {
    QCoreApplication::processEvents();
}

// Paints per run of medianMicros(runs), warm-up runs included.
std::string paints(int painted, int runs) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2f paints of the cells per run",
                  double(painted) / (runs + warmUpRuns(runs)));
    return text;
}

std::string ms(double micros) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f ms", micros / 1000.0);
    return text;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);

    // Two different images, so that every redraw really changes what is shown.
    const std::vector<std::uint8_t> imageA = kw::bench::makeImage(kFlashSize);
    std::vector<std::uint8_t> imageB = imageA;
    std::reverse(imageB.begin(), imageB.end());
    kw::ImageBuffer buffers[2] = {kw::ImageBuffer(kFlashSize), kw::ImageBuffer(kFlashSize)};
    buffers[0].copyIn(0, imageA);
    buffers[1].copyIn(0, imageB);

    // (a) The redraw alone, grid not shown.
    kw::StringGridView hidden;
    const double redrawOnly = medianMicros(2000, [&](int i) {
        redraw(*hidden.grid(), &buffers[i & 1], kFlashSize);
        QCoreApplication::processEvents();
    });
    row("Flash grid redraw, 8192 bytes, 513 rows, grid not shown (median of 2000)", ms(redrawOnly),
        "≤ 1 ms");

    // (b) Intel HEX decode + redraw + repaint of the shown 641 x 228 grid.
    std::string texts[2];
    for (int i = 0; i < 2; ++i)
        texts[i] = kw::bench::imageHexText(i == 0 ? imageA : imageB);
    kw::StringGridView shown;
    shown.setFont(kw::StringGridView::dumpFont());
    shown.resize(641, 228);
    shown.show();
    QCoreApplication::processEvents();
    PaintCounter shownPaints(shown.viewport());
    bool decoded = true;
    try {
        const kw::HexLoadResult check = kw::decodeIntelHex(texts[0], kFlashSize);
        decoded = check.image != nullptr && check.image->size() >= kFlashSize &&
                  std::equal(imageA.begin(), imageA.end(), check.image->bytes().begin());
    } catch (const std::exception&) {
        decoded = false;
    }
    if (decoded) {
        shownPaints.take();
        const double loadAndShow = medianMicros(300, [&](int i) {
            const kw::HexLoadResult loaded = kw::decodeIntelHex(texts[i & 1], kFlashSize);
            redraw(*shown.grid(), loaded.image.get(), kFlashSize);
            paintPending();
        });
        row("Intel HEX decode (8192 bytes, 512 records) + flash grid redraw + repaint of the "
            "shown 641 x 228 grid (median of 300; " +
                paints(shownPaints.take(), 300) + ")",
            ms(loadAndShow), "≤ 5 ms");
    } else {
        row("Intel HEX decode + flash grid redraw + repaint of the shown grid",
            "pending: decodeIntelHex does not decode yet", "≤ 5 ms");
    }
    shownPaints.take();
    const double redrawShown = medianMicros(300, [&](int i) {
        redraw(*shown.grid(), &buffers[i & 1], kFlashSize);
        paintPending();
    });
    row("Flash grid redraw + repaint of the shown 641 x 228 grid (median of 300; " +
            paints(shownPaints.take(), 300) + ")",
        ms(redrawShown), "—");

    // (c) The same redraw into a QTableWidget of 513 x 18 = 9,234 items, created beforehand.
    QTableWidget table(hd::rowCountFor(kFlashSize), hd::kColumnCount);
    table.horizontalHeader()->hide();
    table.verticalHeader()->hide();
    table.horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    table.verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    for (int r = 0; r < table.rowCount(); ++r)
        for (int c = 0; c < table.columnCount(); ++c)
            table.setItem(r, c, new QTableWidgetItem);
    const double itemsHidden = medianMicros(200, [&](int i) {
        redrawItems(table, buffers[i & 1], kFlashSize);
        QCoreApplication::processEvents();
    });
    char ratio[64];
    std::snprintf(ratio, sizeof ratio, "— (%.1f× the model's redraw)", itemsHidden / redrawOnly);
    row("Same redraw into a QTableWidget with 9,234 items, not shown (median of 200)",
        ms(itemsHidden), ratio);

    table.setFont(kw::StringGridView::dumpFont());
    table.resize(641, 228);
    table.show();
    QCoreApplication::processEvents();
    PaintCounter tablePaints(table.viewport());
    const double itemsShown = medianMicros(200, [&](int i) {
        redrawItems(table, buffers[i & 1], kFlashSize);
        paintPending();
    });
    std::snprintf(ratio, sizeof ratio, "— (%.1f× the model's)", itemsShown / redrawShown);
    row("Same redraw into the QTableWidget + repaint, shown 641 x 228 (median of 200; " +
            paints(tablePaints.take(), 200) + ")",
        ms(itemsShown), ratio);
    return 0;
}
