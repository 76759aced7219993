#pragma once

#include <QString>
#include <QStringList>
#include <deque>
#include <functional>
#include <optional>

#include "app/Prompts.h"

// Answers the window's dialogs from a script and records everything it was asked, in order.
class ScriptedPrompts final : public kw::Prompts {
public:
    struct OpenRequest {
        QString title;
        QString filter;
    };

    // Answers for the next open dialogs; when none is left the dialog is cancelled.
    std::deque<std::optional<QString>> openAnswers;
    std::vector<OpenRequest> openRequests;
    QStringList messages;
    QStringList errors;
    int beeps = 0;
    // Every prompt in order: "open", "message:<text>", "error:<text>", "beep".
    QStringList events;
    // Runs while a message box would be open, e.g. to look at the window at that moment.
    std::function<void(const QString&)> whileMessageShown;

    std::optional<QString> openFile(QWidget*, const QString& title,
                                    const QString& filter) override {
        openRequests.push_back({title, filter});
        events << QStringLiteral("open");
        if (openAnswers.empty())
            return std::nullopt;
        auto answer = openAnswers.front();
        openAnswers.pop_front();
        return answer;
    }
    void message(QWidget*, const QString& text) override {
        messages << text;
        events << QStringLiteral("message:") + text;
        if (whileMessageShown)
            whileMessageShown(text);
    }
    void error(QWidget*, const QString& text) override {
        errors << text;
        events << QStringLiteral("error:") + text;
    }
    void beep() override {
        ++beeps;
        events << QStringLiteral("beep");
    }
};
