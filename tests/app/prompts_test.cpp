#include <QApplication>
#include <QDialogButtonBox>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QTranslator>
#include <gtest/gtest.h>
#include <memory>

#include "app/LogPane.h"
#include "app/Prompts.h"
#include "app/Startup.h"

namespace {

TEST(FileFilter, DescriptionsThatShowTheirPatternAreNotDoubled) {
    EXPECT_EQ(kw::toQtFileFilter(QStringLiteral("hex file(*.hex)|*.hex")),
              QStringLiteral("hex file(*.hex)"));
    EXPECT_EQ(kw::toQtFileFilter(
                  QStringLiteral("Bin文件(*.bin)|*.bin|Hex文件(*.hex)|*.hex|EEP文件(*.eep)|*.eep")),
              QStringLiteral("Bin文件(*.bin);;Hex文件(*.hex);;EEP文件(*.eep)"));
    EXPECT_EQ(kw::toQtFileFilter(QStringLiteral("Images|*.bin")), QStringLiteral("Images (*.bin)"));
    // Qt reads "*.hex;*.ihx" as one pattern that no file matches.
    EXPECT_EQ(kw::toQtFileFilter(QStringLiteral("hex file(*.hex;*.ihx)|*.hex;*.ihx")),
              QStringLiteral("hex file(*.hex *.ihx)"));
    EXPECT_EQ(kw::toQtFileFilter(QStringLiteral("HEX|*.hex;*.ihx")),
              QStringLiteral("HEX (*.hex *.ihx)"));
}

// A failure shown while a transfer runs must not stop the transfer's event pumping.
TEST(RealPrompts, ErrorBoxIsModalToItsWindowWithoutWaiting) {
    QWidget owner;
    owner.show();
    QTimer guard; // closes a box that would wait, so that the test fails instead of hanging
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] {
        if (QWidget* modal = QApplication::activeModalWidget())
            modal->close();
    });
    guard.start(2000);
    kw::QtPrompts().error(&owner, QStringLiteral("出错了"));
    auto* box = owner.findChild<QMessageBox*>();
    ASSERT_NE(box, nullptr);
    EXPECT_TRUE(box->isVisible());
    EXPECT_EQ(box->windowModality(), Qt::WindowModal);
    EXPECT_EQ(box->text(), QStringLiteral("出错了"));
}

// The whole window is Chinese, so Qt's standard texts are too, whatever the locale.
TEST(StartUp, QtsOwnTextsReadChinese) {
    std::unique_ptr<QTranslator> translator(kw::loadQtChineseTexts());
    ASSERT_NE(translator, nullptr);
    QDialogButtonBox buttons(QDialogButtonBox::Ok | QDialogButtonBox::Cancel |
                             QDialogButtonBox::Close);
    kw::LogPane log;
    const std::unique_ptr<QMenu> menu(log.createStandardContextMenu());
    QStringList menuTexts;
    for (const QAction* action : menu->actions())
        if (!action->isSeparator())
            menuTexts << action->text();
    QCoreApplication::removeTranslator(translator.get());

    EXPECT_EQ(buttons.button(QDialogButtonBox::Ok)->text(), QStringLiteral("确定"));
    EXPECT_EQ(buttons.button(QDialogButtonBox::Cancel)->text(), QStringLiteral("取消"));
    EXPECT_EQ(buttons.button(QDialogButtonBox::Close)->text(), QStringLiteral("关闭"));
    EXPECT_TRUE(menuTexts.contains(QStringLiteral("复制(&C)\tCtrl+C")))
        << menuTexts.join(' ').toStdString();
    EXPECT_TRUE(menuTexts.contains(QStringLiteral("全选\tCtrl+A")));
}

} // namespace
