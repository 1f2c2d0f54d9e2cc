#pragma once
// What a deleted file's row says of its name: the list keeps its columns, so
// the name goes into the row's tooltip and the save dialog's default name.

#include "vmfs/datastore.h"

#include <QString>

namespace ds::ui {

// The path a directory entry still gives the file; empty without a name.
QString deleted_row_tooltip(const DeletedName* name);
// Its name as a host file name (what the folder export would write);
// empty without a name.
QString deleted_save_name(const DeletedName* name);

} // namespace ds::ui
