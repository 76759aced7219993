#include <QApplication>

#include "app/TFrmCopy.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kaliwire"));
    QApplication::setApplicationDisplayName(QStringLiteral("KALIWIRE"));
    QApplication::setDesktopFileName(QStringLiteral("kaliwire"));

    TFrmCopy FrmCopy(FrmCopyConfig::forApplication());
    FrmCopy.show();
    return QApplication::exec();
}
