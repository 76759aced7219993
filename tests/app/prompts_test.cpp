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

} // namespace
