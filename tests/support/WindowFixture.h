#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QButtonGroup>
#include <QByteArray>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QToolButton>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

#include "app/LogPane.h"
#include "app/TFrmCopy.h"
#include "programmer/DlProgrammer.h"
#include "support/ScriptedPrompts.h"
#include "view/HexDump.h"
#include "view/StringGridView.h"

// A real main window whose settings file, programmer library folder, dialogs and pauses
// belong to the test.
class WindowFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        prompts = std::make_shared<ScriptedPrompts>();
        makeWindow(dir.filePath(QStringLiteral("lib")));
    }

    // A fresh window that looks for TOLVANEX.dll in `libraryDir` first.
    void makeWindow(const QString& libraryDir) {
        makeWindow(std::make_shared<kw::SystemLibraryLoader>(libraryDir.toStdString()));
    }
    void makeWindow(std::shared_ptr<kw::LibraryLoader> loader) {
        makeWindow([loader] { return std::make_unique<kw::DlProgrammer>(loader); });
    }
    // A fresh window whose transfers each get a programmer from `programmer`.
    void makeWindow(kw::ProgrammerFactory programmer) {
        window.reset();
        FrmCopyConfig config;
        config.settingsFile = settingsPath().toStdString();
        config.programmer = std::move(programmer);
        config.prompts = prompts;
        config.pause = [this](int ms) {
            pauses.push_back(ms);
            if (duringPause)
                duringPause(static_cast<int>(pauses.size()) - 1);
        };
        window = std::make_unique<TFrmCopy>(config);
    }

    QString settingsPath() const { return dir.filePath(QStringLiteral("TOLVANEX.INI")); }

    QByteArray settingsBytes() const {
        QFile file(settingsPath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QString writeFile(const QString& name, const QByteArray& bytes) {
        QString path = dir.filePath(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        return path;
    }

    // Loads a file through the "Hex" or "Bin" button and the scripted dialog.
    void openThrough(QAbstractButton* button, const QString& path) {
        prompts->openAnswers.push_back(path);
        button->click();
    }

    template <class T> T* child(const char* name) const {
        return window->findChild<T*>(QString::fromLatin1(name));
    }

    QString flashCell(int column, int row) const {
        return window->flashGrid->grid()->cell(column, row);
    }
    QStringList logLines() const { return window->Memo2->lines(); }

    QTemporaryDir dir;
    std::shared_ptr<ScriptedPrompts> prompts;
    std::vector<int> pauses;
    // Runs inside the download's pause after block `index`, while the transfer is under way.
    std::function<void(int index)> duringPause;
    std::unique_ptr<TFrmCopy> window;
};
