#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <cstdint>

#include "image/ImageBuffer.h"

namespace kw {

// The cell texts of a string grid, addressed as (column, row) with row 0 the fixed header
// row and column 0 the fixed address column. Qt sees row 0 as the horizontal header and
// column 0 as the vertical header, so model index (r-1, c-1) is grid cell (c, r).
// A dump fill does not create a text per cell: it keeps a copy of the bytes and formats
// cells when they are drawn; texts set one by one (typing) are kept beside it.
class StringGridModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit StringGridModel(QObject* parent = nullptr); // 18 columns, 100 rows, empty cells

    int gridColumnCount() const;
    int gridRowCount() const;
    void setGridRowCount(int rows); // header row included; rows past the count are dropped

    QString cell(int column, int row) const; // empty outside the grid
    void setCell(int column, int row, const QString& text);

    int columnWidth(int column) const;
    void setColumnWidth(int column, int width);

    // Rewrites data rows 1 .. size/16 as a hex dump of `image`: row labels, byte cells and
    // the ASCII column. Offsets that `image` does not hold (or all, when it is null) are
    // drawn blank. Row count and header texts are left to the caller.
    void fillDump(const ImageBuffer* image, std::int32_t size);

    // QAbstractTableModel
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

signals:
    void columnWidthChanged(int column, int width);

private:
    struct Impl;
    // Implementation detail left to view/StringGridModel.cpp.
};

} // namespace kw
