#pragma once
// Every question the windows put to the operator goes through this one seam:
// message boxes, the start-sector input box and the open and save dialogs.
// Tests install their own Prompts to answer without a person.

#include <QString>
#include <QStringList>

class QWidget;

namespace ds::ui {

class Prompts {
public:
    virtual ~Prompts() = default;
    // Modal box titled "message" with an OK button.
    virtual void message(QWidget* parent, const QString& text) = 0;
    // Modal box titled "message" with Yes and No; true only for Yes.
    virtual bool confirm(QWidget* parent, const QString& text) = 0;
    // Input box; cancelling yields def.
    virtual QString input(QWidget* parent, const QString& caption, const QString& prompt, const QString& def) = 0;
    // File open dialog with a Qt name filter; empty when cancelled.
    virtual QString open_file(QWidget* parent, const QString& filter) = 0;
    // File save dialog without filter or default name that replaces an
    // existing file without asking; empty when cancelled.
    virtual QString save_file(QWidget* parent) = 0;
    // The same dialog offering suggested as the file name; a Prompts that
    // does not show it answers as save_file does.
    virtual QString save_file_named(QWidget* parent, const QString& suggested);
    // Modal box titled "message" with one button per choice, the first one
    // the default; the index chosen, or -1 when the box was closed. A Prompts
    // that does not ask takes the default.
    virtual int choose(QWidget* parent, const QString& text, const QStringList& choices);
    // Directory dialog for an export's destination; empty when cancelled. A
    // Prompts that does not ask cancels.
    virtual QString choose_folder(QWidget* parent);
};

// The Prompts in use; the one backed by real Qt dialogs by default.
Prompts& prompts();
// Replaces the Prompts in use (nullptr restores the real dialogs).
void set_prompts(Prompts* p);

// Shorthands for the windows.
inline void message(QWidget* parent, const QString& text) { prompts().message(parent, text); }
inline bool confirm(QWidget* parent, const QString& text) { return prompts().confirm(parent, text); }

} // namespace ds::ui
