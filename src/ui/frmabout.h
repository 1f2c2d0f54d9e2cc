#pragma once
// The About window: a panel with the program's name over the banner picture.

#include <QDialog>

class QFrame;
class QLabel;

namespace ds {

class Tfrmabout : public QDialog {
    Q_OBJECT

public:
    explicit Tfrmabout(QWidget* parent = nullptr);

    QFrame* Panel1 = nullptr;
    QLabel* Image1 = nullptr;

public slots:
    void FormCreate();
};

} // namespace ds
