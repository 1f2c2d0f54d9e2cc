#pragma once
// The About window: a panel with the program's name over the banner picture,
// and under it the version, the build and the libraries.

#include <QDialog>
#include <QString>

class QFrame;
class QLabel;

namespace ds {

// "datumsift X.Y.Z", then the build and the libraries' versions, a line each.
QString about_version_text();

class AboutDialog : public QDialog {
    Q_OBJECT

public:
    explicit AboutDialog(QWidget* parent = nullptr);

    QFrame* title_panel = nullptr;
    QLabel* banner = nullptr;
    QLabel* version = nullptr;

public slots:
    void set_title();
};

} // namespace ds
