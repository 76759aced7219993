#pragma once

#include <QPlainTextEdit>
#include <QString>
#include <QTime>

namespace kw {

// The system locale's long time format with seconds but without a time-zone name,
// for example "HH:mm:ss" or "h:mm:ss AP".
QString longTimeFormat();
QString longTimeText(const QTime& time);

// The transfer log: a text pane the handlers append whole lines to; a double click empties it.
class LogPane : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit LogPane(QWidget* parent = nullptr);

    void appendLine(const QString& text);
    QStringList lines() const;

signals:
    void doubleClicked();

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;
};

} // namespace kw
