#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <gtest/gtest.h>

#include "app/Prompts.h"

namespace {

TEST(FileFilter, DescriptionsThatShowTheirPatternAreNotDoubled) {
    EXPECT_EQ(kw::toQtFileFilter(QStringLiteral("hex file(*.hex)|*.hex")),
              QStringLiteral("hex file(*.hex)"));
    EXPECT_EQ(kw::toQtFileFilter(
                  QStringLiteral("Bin文件(*.bin)|*.bin|Hex文件(*.hex)|*.hex|EEP文件(*.eep)|*.eep")),
              QStringLiteral("Bin文件(*.bin);;Hex文件(*.hex);;EEP文件(*.eep)"));
    EXPECT_EQ(kw::toQtFileFilter(QStringLiteral("Images|*.bin")), QStringLiteral("Images (*.bin)"));
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

} // namespace
