#pragma once

#include <QTableView>
#include <functional>

#include "view/StringGridModel.h"

namespace kw {

// A string grid: a table view over its own StringGridModel, with the fixed header row and
// address column drawn as Qt headers, column widths taken from the model, and a key hook
// that sees every character key before the grid applies it.
class StringGridView : public QTableView {
    Q_OBJECT
public:
    explicit StringGridView(QWidget* parent = nullptr);

    StringGridModel* grid() const;

    // Current cell in grid coordinates (column 1..17, row 1..); 0 when there is none.
    int col() const;
    int row() const;
    void setCurrentCell(int column, int row);

    // A text the grid holds for its owner; not shown as a tooltip.
    QString hint() const;
    void setHint(const QString& text);

    // Grid columns whose cells take typed text (first..last inclusive); none by default.
    void setEditableColumns(int first, int last);

    // Called for every key that produces a character (Backspace 8 and Enter 13 included),
    // before anything else sees it. Setting the key to 0 discards it. A key that remains is
    // applied to the current cell when its column is editable: Backspace removes the last
    // character, Enter changes nothing, any other character is appended.
    std::function<void(char& key)> onKeyPress;

signals:
    // The current cell was set, by the mouse or by keyboard navigation.
    void cellSelected();
};

} // namespace kw
