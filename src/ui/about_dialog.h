#pragma once
// The About window: a panel with the program's name over the banner picture.

#include <QDialog>

class QFrame;
class QLabel;

namespace ds {

class AboutDialog : public QDialog {
    Q_OBJECT

public:
    explicit AboutDialog(QWidget* parent = nullptr);

    QFrame* title_panel = nullptr;
    QLabel* banner = nullptr;

public slots:
    void set_title();
};

} // namespace ds
