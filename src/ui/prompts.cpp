#include "ui/prompts.h"

#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>

namespace ds::ui {
namespace {

const QString kTitle = QStringLiteral("message");

class DialogPrompts final : public Prompts {
public:
    void message(QWidget* parent, const QString& text) override {
        QMessageBox::information(parent, kTitle, text, QMessageBox::Ok);
    }
    bool confirm(QWidget* parent, const QString& text) override {
        return QMessageBox::question(parent, kTitle, text, QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
    }
    QString input(QWidget* parent, const QString& caption, const QString& prompt, const QString& def) override {
        bool ok = false;
        QString text = QInputDialog::getText(parent, caption, prompt, QLineEdit::Normal, def, &ok);
        return ok ? text : def;
    }
    QString open_file(QWidget* parent, const QString& filter) override {
        return QFileDialog::getOpenFileName(parent, QString(), QString(), filter);
    }
    QString save_file(QWidget* parent) override { return save_file_named(parent, QString()); }
    QString save_file_named(QWidget* parent, const QString& suggested) override {
        return QFileDialog::getSaveFileName(parent, QString(), suggested, QString(), nullptr,
                                            QFileDialog::DontConfirmOverwrite);
    }
    int choose(QWidget* parent, const QString& text, const QStringList& choices) override {
        QMessageBox box(QMessageBox::Question, kTitle, text, QMessageBox::NoButton, parent);
        QList<QAbstractButton*> buttons;
        for (const QString& c : choices) buttons << box.addButton(c, QMessageBox::AcceptRole);
        box.addButton(QMessageBox::Cancel);
        if (!buttons.isEmpty()) box.setDefaultButton(qobject_cast<QPushButton*>(buttons.first()));
        box.exec();
        return static_cast<int>(buttons.indexOf(box.clickedButton()));
    }
    QString choose_folder(QWidget* parent) override {
        return QFileDialog::getExistingDirectory(parent, QString(), QString());
    }
};

DialogPrompts& dialog_prompts() {
    static DialogPrompts p;
    return p;
}

Prompts* current = nullptr;

} // namespace

int Prompts::choose(QWidget*, const QString&, const QStringList& choices) { return choices.isEmpty() ? -1 : 0; }

QString Prompts::save_file_named(QWidget* parent, const QString&) { return save_file(parent); }

QString Prompts::choose_folder(QWidget*) { return {}; }

Prompts& prompts() { return current ? *current : dialog_prompts(); }

void set_prompts(Prompts* p) { current = p; }

} // namespace ds::ui
