#include "app/LogPane.h"

#include <QLocale>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTextBlock>

namespace kw {

QString longTimeFormat() {
    // Drop the time-zone designators ('t' outside quotes) and the blanks they leave.
    const QString format = QLocale::system().timeFormat(QLocale::LongFormat);
    QString result;
    bool quoted = false;
    for (QChar c : format) {
        if (c == QLatin1Char('\''))
            quoted = !quoted;
        if (!quoted && c == QLatin1Char('t'))
            continue;
        result += c;
    }
    result = result.simplified();
    return result.isEmpty() ? QStringLiteral("HH:mm:ss") : result;
}

QString longTimeText(const QTime& time) {
    return QLocale::system().toString(time, longTimeFormat());
}

LogPane::LogPane(QWidget* parent) : QPlainTextEdit(parent) {
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setLineWrapMode(QPlainTextEdit::NoWrap);
}

void LogPane::appendLine(const QString& text) {
    appendPlainText(text);
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

QStringList LogPane::lines() const {
    QStringList result;
    if (document()->isEmpty())
        return result;
    for (QTextBlock block = document()->begin(); block.isValid(); block = block.next())
        result << block.text();
    return result;
}

void LogPane::mouseDoubleClickEvent(QMouseEvent* event) {
    event->accept();
    emit doubleClicked();
}

} // namespace kw
