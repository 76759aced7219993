#pragma once

#include <QString>
#include <optional>

class QWidget;

namespace kw {

// Everything the window asks of the user goes through here, so tests can answer instead.
class Prompts {
public:
    virtual ~Prompts() = default;

    // The modal file-open dialog. `filter` uses the "description|pattern|description|pattern"
    // form. Returns the chosen file's full path, or nothing when the user cancels.
    virtual std::optional<QString> openFile(QWidget* parent, const QString& title,
                                            const QString& filter) = 0;
    // A modal message box with the tool's own text; returns when it is closed.
    virtual void message(QWidget* parent, const QString& text) = 0;
    // The standard error box for a failure a handler did not expect. It may return while
    // the box is still shown.
    virtual void error(QWidget* parent, const QString& text) = 0;
    // The alert sound.
    virtual void beep() = 0;
};

// The real dialogs. Each open dialog starts at the file chosen last by any loader.
class QtPrompts final : public Prompts {
public:
    std::optional<QString> openFile(QWidget* parent, const QString& title,
                                    const QString& filter) override;
    void message(QWidget* parent, const QString& text) override;
    void error(QWidget* parent, const QString& text) override;
    void beep() override;

private:
    QString lastChosen_;
};

// "hex file(*.hex)|*.hex" becomes "hex file(*.hex)"; a description that does not show its
// pattern gets it appended: "Images|*.bin" becomes "Images (*.bin)". Entries join with ";;".
QString toQtFileFilter(const QString& pipeFilter);

} // namespace kw
