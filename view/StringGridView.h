#pragma once

#include <QFont>
#include <QTableView>
#include <functional>

#include "view/StringGridModel.h"

class QAbstractButton;

namespace kw {

// A string grid: a table view over its own StringGridModel, with the fixed header row and
// address column drawn as Qt headers, column widths taken from the model, and a key hook
// that sees every character key before the grid applies it.
class StringGridView : public QTableView {
    Q_OBJECT
    Q_PROPERTY(QString hint READ hint WRITE setHint)
public:
    explicit StringGridView(QWidget* parent = nullptr);
    ~StringGridView() override;

    StringGridModel* grid() const;

    // The dump grids' type: bold 15-pixel Comic Sans MS, or its look-alike Comic Neue.
    static QFont dumpFont();

    // Current cell in grid coordinates (column 1..17, row 1..); 0 when there is none.
    // Cell (1, 1) is current from the start, as long as the grid has a data row.
    int col() const;
    int row() const;
    // Emits cellSelected(), also when the cell is current already. Ignored for the header row,
    // the address column and cells outside the grid.
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
    // The current cell was set: by keyboard navigation, by setCurrentCell, or by a mouse click,
    // also on the cell that is current already.
    void cellSelected();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void inputMethodEvent(QInputMethodEvent* event) override;
    void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void applyColumnWidth(int column, int width);
    void applyKey(char key);
    void paintCorner();

    StringGridModel* model_;
    QAbstractButton* corner_ = nullptr;
    QString hint_;
    int firstEditable_ = 1;
    int lastEditable_ = 0;
};

} // namespace kw
