#pragma once

#include <QDialog>

class QLabel;

// The about dialog: product name, maker, where to get schematics and sources.
class TFrm_about : public QDialog {
    Q_OBJECT
public:
    explicit TFrm_about(QWidget* parent = nullptr);

    // Shows the dialog modal to its window, centred on `owner`, and returns at once: a nested
    // event loop here would hold up a transfer that pumps events between its blocks.
    void showCentredOn(QWidget* owner);

    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
};
