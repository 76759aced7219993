#include "view/StringGridModel.h"

#include <QBrush>
#include <algorithm>

namespace kw {

namespace {

constexpr int kAsciiColumn = hexdump::kColumnCount - 1;

QString latin1(const char* text, int length) {
    return QString::fromLatin1(text, length);
}

} // namespace

StringGridModel::StringGridModel(QObject* parent)
    : QAbstractTableModel(parent), rows_(hexdump::kInitialRowCount), widths_{} {
    widths_.fill(hexdump::kByteColumnWidth);
}

int StringGridModel::gridColumnCount() const {
    return hexdump::kColumnCount;
}

int StringGridModel::gridRowCount() const {
    return rows_;
}

void StringGridModel::setGridRowCount(int rows) {
    rows = std::max(rows, 1);
    if (rows == rows_)
        return;
    if (rows > rows_) {
        beginInsertRows({}, rows_ - 1, rows - 2);
        rows_ = rows;
        endInsertRows();
        return;
    }
    beginRemoveRows({}, rows - 1, rows_ - 2);
    texts_.erase(texts_.lower_bound({rows, 0}), texts_.end());
    dumpRows_ = std::min(dumpRows_, rows - 1);
    const auto held = static_cast<std::size_t>(dumpRows_) * hexdump::kBytesPerRow;
    if (dumpBytes_.size() > held)
        dumpBytes_.resize(held);
    rows_ = rows;
    endRemoveRows();
}

bool StringGridModel::contains(int column, int row) const {
    return column >= 0 && column < hexdump::kColumnCount && row >= 0 && row < rows_;
}

bool StringGridModel::inDump(int column, int row) const {
    return row >= 1 && row <= dumpRows_ && column >= 0 && column < hexdump::kColumnCount;
}

QString StringGridModel::dumpText(int column, int row) const {
    const std::size_t rowStart = static_cast<std::size_t>(row - 1) * hexdump::kBytesPerRow;
    if (column == 0)
        return QString::fromStdString(hexdump::rowLabel(row));
    if (column == kAsciiColumn) {
        if (rowStart >= dumpBytes_.size())
            return {};
        const std::size_t count =
            std::min<std::size_t>(hexdump::kBytesPerRow, dumpBytes_.size() - rowStart);
        char text[hexdump::kBytesPerRow];
        for (std::size_t i = 0; i < count; ++i)
            text[i] = hexdump::asciiOf(dumpBytes_[rowStart + i]);
        return latin1(text, static_cast<int>(count));
    }
    const std::size_t offset = rowStart + static_cast<std::size_t>(column - 1);
    if (offset >= dumpBytes_.size())
        return {};
    char text[2];
    hexdump::byteHex(dumpBytes_[offset], text);
    return latin1(text, 2);
}

bool StringGridModel::isByteCell(int column, int row) {
    return row >= 1 && column >= 1 && column <= hexdump::kBytesPerRow;
}

QString StringGridModel::cell(int column, int row) const {
    if (!contains(column, row))
        return {};
    if (!texts_.empty()) {
        const auto it = texts_.find({row, column});
        if (it != texts_.end())
            return it->second;
    }
    return inDump(column, row) ? dumpText(column, row) : QString();
}

void StringGridModel::setCell(int column, int row, const QString& text) {
    if (!contains(column, row))
        return;
    texts_[{row, column}] = text;
    cellChanged(column, row);
}

void StringGridModel::byteStored(std::int64_t offset, std::uint8_t value) {
    if (offset < 0 || static_cast<std::uint64_t>(offset) >= dumpBytes_.size())
        return;
    const int row = static_cast<int>(offset / hexdump::kBytesPerRow) + 1;
    const int column = static_cast<int>(offset % hexdump::kBytesPerRow) + 1;
    // What the cell and the row's ASCII text show now stays as it is: a commit redraws nothing.
    for (const int kept : {column, kAsciiColumn})
        texts_.try_emplace({row, kept}, dumpText(kept, row));
    dumpBytes_[static_cast<std::size_t>(offset)] = value;
    cellChanged(column, row);
}

void StringGridModel::discardTypedText(int column, int row) {
    // Only byte cells take typing; the ASCII column keeps its text until the next fill.
    if (isByteCell(column, row) && texts_.erase({row, column}) > 0)
        cellChanged(column, row);
}

bool StringGridModel::isPending(int column, int row) const {
    if (!isByteCell(column, row))
        return false;
    const auto typed = texts_.find({row, column});
    if (typed == texts_.end())
        return false;
    // Blank where the last fill held no byte: no text spells a byte that is not there.
    const QString stored = dumpText(column, row);
    return stored.isEmpty() || typed->second.compare(stored, Qt::CaseInsensitive) != 0;
}

QColor StringGridModel::pendingTextColour() {
    return {0x00, 0x00, 0xC0}; // dark blue
}

QColor StringGridModel::pendingBackgroundColour() {
    return {0xFF, 0xE4, 0x5C}; // yellow
}

void StringGridModel::cellChanged(int column, int row) {
    if (row == 0 && column == 0)
        emit cornerChanged(); // the corner belongs to neither header
    else if (row == 0)
        emit headerDataChanged(Qt::Horizontal, column - 1, column - 1);
    else if (column == 0)
        emit headerDataChanged(Qt::Vertical, row - 1, row - 1);
    else
        emit dataChanged(index(row - 1, column - 1), index(row - 1, column - 1)); // colours too
}

int StringGridModel::columnWidth(int column) const {
    if (column < 0 || column >= hexdump::kColumnCount)
        return 0;
    return widths_[static_cast<std::size_t>(column)];
}

void StringGridModel::setColumnWidth(int column, int width) {
    if (column < 0 || column >= hexdump::kColumnCount)
        return;
    width = std::max(width, 0);
    int& slot = widths_[static_cast<std::size_t>(column)];
    if (slot == width)
        return;
    slot = width;
    emit columnWidthChanged(column, width);
}

void StringGridModel::fillDump(const ImageBuffer* image, std::int32_t size) {
    const int rowsFilled = std::clamp<std::int32_t>(size / hexdump::kBytesPerRow, 0, rows_ - 1);

    // Rows of the previous dump below the new one keep what they show, as texts of their own.
    for (int row = rowsFilled + 1; row <= dumpRows_; ++row)
        for (int column = 0; column < hexdump::kColumnCount; ++column)
            texts_.try_emplace({row, column}, dumpText(column, row));

    std::size_t held = static_cast<std::size_t>(rowsFilled) * hexdump::kBytesPerRow;
    if (image == nullptr)
        held = 0;
    else
        held = std::min(held, image->size());
    dumpBytes_.assign(image != nullptr ? image->bytes().data() : nullptr,
                      image != nullptr ? image->bytes().data() + held : nullptr);
    dumpRows_ = rowsFilled;
    texts_.erase(texts_.lower_bound({1, 0}), texts_.lower_bound({rowsFilled + 1, 0}));

    if (rowsFilled > 0) {
        // Every role: typed texts, and with them the pending colours, are gone.
        emit dataChanged(index(0, 0), index(rowsFilled - 1, hexdump::kColumnCount - 2));
        emit headerDataChanged(Qt::Vertical, 0, rowsFilled - 1);
    }
}

int StringGridModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : rows_ - 1;
}

int StringGridModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : hexdump::kColumnCount - 1;
}

QVariant StringGridModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid())
        return {};
    const int column = index.column() + 1;
    switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
        return cell(column, index.row() + 1);
    case Qt::TextAlignmentRole:
        return column == kAsciiColumn ? int(Qt::AlignLeft | Qt::AlignVCenter)
                                      : int(Qt::AlignCenter);
    case Qt::ForegroundRole:
        return isPending(column, index.row() + 1) ? QVariant(QBrush(pendingTextColour()))
                                                  : QVariant();
    case Qt::BackgroundRole:
        return isPending(column, index.row() + 1) ? QVariant(QBrush(pendingBackgroundColour()))
                                                  : QVariant();
    default:
        return {};
    }
}

QVariant StringGridModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole || section < 0)
        return {};
    return orientation == Qt::Horizontal ? cell(section + 1, 0) : cell(0, section + 1);
}

Qt::ItemFlags StringGridModel::flags(const QModelIndex& index) const {
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

} // namespace kw
