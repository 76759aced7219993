#include "app/Prompts.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QStringList>

namespace kw {

QString toQtFileFilter(const QString& pipeFilter) {
    const QStringList parts = pipeFilter.split(QLatin1Char('|'));
    QStringList entries;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString description = parts[i];
        const QString& pattern = parts[i + 1];
        // Qt separates a filter's patterns by blanks; a ';' would make them one pattern.
        QString patterns = pattern;
        patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
        const QString shown = QLatin1Char('(') + pattern + QLatin1Char(')');
        if (description.contains(shown))
            entries << description.replace(shown, QLatin1Char('(') + patterns + QLatin1Char(')'));
        else
            entries << description + QStringLiteral(" (") + patterns + QLatin1Char(')');
    }
    return entries.join(QStringLiteral(";;"));
}

std::optional<QString> QtPrompts::openFile(QWidget* parent, const QString& title,
                                           const QString& filter) {
    QFileDialog dialog(parent, title);
    dialog.setObjectName(QStringLiteral("OpenDialog1"));
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setNameFilter(toQtFileFilter(filter));
    if (!lastChosen_.isEmpty())
        dialog.selectFile(lastChosen_);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    lastChosen_ = dialog.selectedFiles().constFirst();
    return lastChosen_;
}

void QtPrompts::message(QWidget* parent, const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("KALIWIRE"), text, QMessageBox::Ok, parent);
    box.exec();
}

void QtPrompts::error(QWidget* parent, const QString& text) {
    // The failed handler has ended already, so nothing waits for the box: it is shown modal
    // to its window without a nested event loop, which would hold up a transfer under way.
    auto* box = new QMessageBox(QMessageBox::Critical, QStringLiteral("KALIWIRE"), text,
                                QMessageBox::Ok, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

void QtPrompts::beep() {
    QApplication::beep();
}

} // namespace kw
