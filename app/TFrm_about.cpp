#include "app/TFrm_about.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

TFrm_about::TFrm_about(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("Frm_about"));
    setWindowTitle(QStringLiteral("关于"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setSizeGripEnabled(true);
    resize(389, 203);

    Label1 = new QLabel(QStringLiteral("STM8S KALIWIRE  纯脱机烧写工具"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    QFont titleFont;
    titleFont.setFamilies(
        {QStringLiteral("LiSu"), QStringLiteral("隶书"), QStringLiteral("WenQuanYi Micro Hei")});
    titleFont.setPixelSize(19);
    Label1->setFont(titleFont);
    QPalette red = Label1->palette();
    red.setColor(QPalette::WindowText, Qt::red);
    Label1->setPalette(red);
    Label1->setAlignment(Qt::AlignCenter);

    Label2 = new QLabel(QStringLiteral("KALIWIRE 开发组 出品 · 基于 MIT 许可证发布"), this);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->setAlignment(Qt::AlignCenter);
    Label3 = new QLabel(QStringLiteral("原理图、PCB 图纸与全部源代码可在项目主页获取。"), this);
    Label3->setObjectName(QStringLiteral("Label3"));
    Label3->setAlignment(Qt::AlignCenter);
    Label3->setWordWrap(true);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    buttons->setObjectName(QStringLiteral("aboutButtons"));
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addStretch(1);
    layout->addWidget(Label1);
    layout->addSpacing(12);
    layout->addWidget(Label2);
    layout->addWidget(Label3);
    layout->addStretch(1);
    layout->addWidget(buttons);
}

void TFrm_about::showCentredOn(QWidget* owner) {
    if (owner != nullptr) {
        QRect frame = geometry();
        frame.moveCenter(owner->frameGeometry().center());
        move(frame.topLeft());
    }
    open();
}
