#include "ui/deleted_row_text.h"

#include "export/host_names.h"
#include "text/row_text.h"

namespace ds::ui {

QString deleted_row_tooltip(const DeletedName* name) {
    return name ? QString::fromStdString(deleted_path_text(*name)) : QString();
}

QString deleted_save_name(const DeletedName* name) {
    // Encoded as the folder export encodes names, so that a "/" or a
    // control byte in a damaged name cannot pick another directory.
    return name ? QString::fromStdString(host_name_fit(name->raw_name)) : QString();
}

} // namespace ds::ui
