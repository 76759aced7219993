#include <QApplication>

#include "app/Startup.h"
#include "app/TFrmCopy.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    kw::setApplicationNames();
    kw::loadQtChineseTexts();
    TFrmCopy FrmCopy(FrmCopyConfig::forApplication());
    kw::closeOnTerminationSignals(FrmCopy);
    FrmCopy.show();
    return QApplication::exec();
}
