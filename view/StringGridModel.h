#pragma once

#include <QAbstractTableModel>
#include <QColor>
#include <QString>
#include <array>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "image/ImageBuffer.h"
#include "view/HexDump.h"

namespace kw {

// The cell texts of a string grid, addressed as (column, row) with row 0 the fixed header
// row and column 0 the fixed address column. Qt sees row 0 as the horizontal header and
// column 0 as the vertical header, so model index (r-1, c-1) is grid cell (c, r).
// A dump fill does not create a text per cell: it keeps a copy of the bytes and formats
// cells when they are drawn; texts set one by one (typing) are kept beside it. A byte cell
// whose text does not spell the byte stored at its offset (typed digits not yet committed,
// or a cell of no stored byte at all) is pending: it is drawn in the pending colours, so
// that nothing on screen passes for the image that it is not.
class StringGridModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit StringGridModel(QObject* parent = nullptr); // 18 columns, 100 rows, empty cells

    int gridColumnCount() const;
    int gridRowCount() const;
    // Header row included, at least 1. Rows past the count are dropped with their texts;
    // rows added are empty.
    void setGridRowCount(int rows);

    QString cell(int column, int row) const;                // empty outside the grid
    void setCell(int column, int row, const QString& text); // ignored outside the grid

    int columnWidth(int column) const;
    void setColumnWidth(int column, int width);

    // Rewrites data rows 1 .. size/16 as a hex dump of `image`: row labels, byte cells and
    // the ASCII column. Offsets that `image` does not hold (or all, when it is null) are
    // drawn blank, and the ASCII text covers only the bytes it holds. Texts set on those rows
    // before are replaced; rows past size/16 keep theirs. Rows past the row count are not
    // filled, so the caller sets the row count first. Header texts are left to the caller.
    void fillDump(const ImageBuffer* image, std::int32_t size);

    // The byte at `offset` of the image has been stored as `value` (a commit). Every cell
    // keeps its text, the ASCII column included, until the next fill; a byte cell whose text
    // is now a different byte becomes pending, one that spells `value` stops being pending.
    // Offsets that the last fill did not hold are ignored.
    void byteStored(std::int64_t offset, std::uint8_t value);
    // Drops what was typed into a byte cell: it shows the stored byte again.
    void discardTypedText(int column, int row);

    // Whether byte cell (column, row) shows a text other than its stored byte, in any case of
    // the hexadecimal digits. Header, address and ASCII cells are never pending.
    bool isPending(int column, int row) const;
    static QColor pendingTextColour();
    static QColor pendingBackgroundColour();

    // QAbstractTableModel
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

signals:
    void columnWidthChanged(int column, int width);
    // Cell (0, 0) changed; it lies in neither Qt header.
    void cornerChanged();

private:
    using CellKey = std::pair<int, int>; // (row, column): a row's cells lie next to each other

    bool contains(int column, int row) const;
    bool inDump(int column, int row) const;
    static bool isByteCell(int column, int row);
    QString dumpText(int column, int row) const;
    void cellChanged(int column, int row);

    int rows_;
    std::array<int, hexdump::kColumnCount> widths_;
    // Texts set cell by cell; they win over the dump.
    std::map<CellKey, QString> texts_;
    // The last dump: rows 1 .. dumpRows_, of which the first dumpBytes_.size() offsets are held.
    int dumpRows_ = 0;
    std::vector<std::uint8_t> dumpBytes_;
};

} // namespace kw
