#include "view/StringGridView.h"

#include <QAbstractButton>
#include <QHeaderView>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyleOptionHeader>
#include <QStyledItemDelegate>

namespace kw {

namespace {

// The address column. Its width is fixed by the model, so its size hint need not measure
// hundreds of row labels each time the rows change.
class RowHeader : public QHeaderView {
public:
    explicit RowHeader(QWidget* parent) : QHeaderView(Qt::Vertical, parent) {}
    QSize sizeHint() const override { return {minimumWidth(), defaultSectionSize()}; }
};

// A pending cell keeps its colours while it is the selected one, which is exactly while the
// user types into it; a frame in the selection colour marks it as current instead.
class GridCellDelegate final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        const auto* cells = qobject_cast<const StringGridModel*>(index.model());
        if (!(option.state & QStyle::State_Selected) || cells == nullptr ||
            !cells->isPending(index.column() + 1, index.row() + 1)) {
            QStyledItemDelegate::paint(painter, option, index);
            return;
        }
        QStyleOptionViewItem unselected(option);
        unselected.state &= ~QStyle::State_Selected;
        QStyledItemDelegate::paint(painter, unselected, index);
        painter->save();
        painter->setPen(QPen(option.palette.color(QPalette::Highlight), 2));
        painter->setBrush(Qt::NoBrush);
        painter->drawRect(QRectF(option.rect).adjusted(1, 1, -1, -1));
        painter->restore();
    }
};

void setUpHeader(QHeaderView* header) {
    header->setSectionResizeMode(QHeaderView::Fixed);
    header->setMinimumSectionSize(0); // the style's minimum would widen 24-pixel columns
    header->setSectionsClickable(false);
    header->setHighlightSections(false);
}

} // namespace

StringGridView::StringGridView(QWidget* parent)
    : QTableView(parent), model_(new StringGridModel(this)) {
    setVerticalHeader(new RowHeader(this));
    setModel(model_);
    setItemDelegate(new GridCellDelegate(this));

    setUpHeader(horizontalHeader());
    setUpHeader(verticalHeader());
    // Rows keep the toolkit's default height, fixed once so that no row is ever measured.
    verticalHeader()->setDefaultSectionSize(verticalHeader()->defaultSectionSize());

    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectItems);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setFocusPolicy(Qt::StrongFocus);
    setWordWrap(false);
    setTextElideMode(Qt::ElideNone); // "FF" must stay "FF" in a 24-pixel column
    // Keys reach the hook as key events; an input method would turn them into composed text.
    setAttribute(Qt::WA_InputMethodEnabled, false);

    for (int column = 0; column < model_->gridColumnCount(); ++column)
        applyColumnWidth(column, model_->columnWidth(column));
    connect(model_, &StringGridModel::columnWidthChanged, this, &StringGridView::applyColumnWidth);

    // QTableView draws the corner as an empty button; cell (0, 0) has a text to show there.
    corner_ = findChild<QAbstractButton*>(QString(), Qt::FindDirectChildrenOnly);
    if (corner_ != nullptr) {
        corner_->installEventFilter(this);
        connect(model_, &StringGridModel::cornerChanged, corner_, qOverload<>(&QWidget::update));
    }

    setCurrentCell(1, 1);
}

StringGridView::~StringGridView() {
    if (corner_ != nullptr)
        corner_->removeEventFilter(this);
}

StringGridModel* StringGridView::grid() const {
    return model_;
}

int StringGridView::col() const {
    const QModelIndex current = currentIndex();
    return current.isValid() ? current.column() + 1 : 0;
}

int StringGridView::row() const {
    const QModelIndex current = currentIndex();
    return current.isValid() ? current.row() + 1 : 0;
}

void StringGridView::setCurrentCell(int column, int row) {
    if (column < 1 || column >= model_->gridColumnCount() || row < 1 ||
        row >= model_->gridRowCount())
        return;
    const QModelIndex target = model_->index(row - 1, column - 1);
    if (target == currentIndex())
        emit cellSelected(); // set again: its owner hears of it as of any other setting
    else
        setCurrentIndex(target);
}

QString StringGridView::hint() const {
    return hint_;
}

void StringGridView::setHint(const QString& text) {
    hint_ = text;
}

void StringGridView::setEditableColumns(int first, int last) {
    firstEditable_ = first;
    lastEditable_ = last;
}

void StringGridView::applyColumnWidth(int column, int width) {
    if (column == 0) {
        verticalHeader()->setFixedWidth(width);
        updateGeometries();
    } else {
        horizontalHeader()->resizeSection(column - 1, width);
    }
}

void StringGridView::keyPressEvent(QKeyEvent* event) {
    char key = 0;
    switch (event->key()) {
    case Qt::Key_Backspace:
        key = 8;
        break;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        key = 13;
        break;
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
        QTableView::keyPressEvent(event);
        return;
    case Qt::Key_Delete:
        event->accept(); // produces no character, and its text must not reach keyboard search
        return;
    default: {
        const QString text = event->text();
        if (text.isEmpty()) {
            QTableView::keyPressEvent(event); // navigation
            return;
        }
        // Text that is not one byte-sized character is dropped rather than searched for.
        if (text.size() != 1 || text.front().unicode() > 0xFF) {
            event->accept();
            return;
        }
        key = static_cast<char>(text.front().unicode());
    }
    }

    if (onKeyPress)
        onKeyPress(key);
    if (key != 0)
        applyKey(key);
    event->accept();
}

void StringGridView::applyKey(char key) {
    const int column = col();
    const int row = this->row();
    if (column == 0 || column < firstEditable_ || column > lastEditable_)
        return;
    QString text = model_->cell(column, row);
    if (key == 8) {
        if (text.isEmpty())
            return;
        text.chop(1);
    } else if (key == 13) {
        return;
    } else {
        text.append(QChar(static_cast<unsigned char>(key)));
    }
    model_->setCell(column, row, text);
}

void StringGridView::mousePressEvent(QMouseEvent* event) {
    const QPersistentModelIndex before = currentIndex();
    QTableView::mousePressEvent(event);
    // A click on the current cell sets it again without changing it.
    if (before.isValid() && before == currentIndex() &&
        indexAt(event->position().toPoint()) == before)
        emit cellSelected();
}

void StringGridView::inputMethodEvent(QInputMethodEvent* event) {
    // Composed text is neither a single-byte key for the hook nor something to search for.
    event->accept();
}

void StringGridView::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
    QTableView::currentChanged(current, previous);
    if (!current.isValid())
        return;
    // The current cell is always the selected one, also after rows under it were dropped.
    if (!selectionModel()->isSelected(current))
        selectionModel()->select(current, QItemSelectionModel::ClearAndSelect);
    emit cellSelected();
}

bool StringGridView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == corner_ && event->type() == QEvent::Paint) {
        paintCorner();
        return true;
    }
    return QTableView::eventFilter(watched, event);
}

void StringGridView::paintCorner() {
    QStyleOptionHeader option;
    option.initFrom(corner_);
    option.state = QStyle::State_None;
    if (corner_->isEnabled())
        option.state |= QStyle::State_Enabled;
    if (corner_->isActiveWindow())
        option.state |= QStyle::State_Active;
    option.rect = corner_->rect();
    option.position = QStyleOptionHeader::OnlyOneSection;
    option.text = model_->cell(0, 0);
    option.textAlignment = Qt::AlignCenter;
    QPainter painter(corner_);
    corner_->style()->drawControl(QStyle::CE_Header, &option, &painter, corner_);
}

QFont StringGridView::dumpFont() {
    QFont font;
    font.setFamilies({QStringLiteral("Comic Sans MS"), QStringLiteral("Comic Neue")});
    font.setPixelSize(15);
    font.setBold(true);
    return font;
}

} // namespace kw
