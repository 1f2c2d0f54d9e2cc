#pragma once
// Why a folder export wrote nothing. A header of its own, so that the front
// ends' text layer can give the words for it without the export layer.

namespace ds {

enum class FolderRefusal {
    none,
    no_destination,          // no destination directory was given
    source_unreadable,       // the source's descriptor cannot be read
    destination_not_created, // it cannot be resolved or created; sys_errno says why
    destination_not_opened,  // it or the directory above it cannot be opened; sys_errno says why
    no_parent,               // no directory above it to hold the manifest
    not_directory,           // it exists and is not a directory
    not_empty,
    manifest_exists,         // and replacing it was not asked for
    manifest_not_replaceable,   // what is at the manifest's name is not a manifest
    on_input,                // the destination is on a disk being read
};

} // namespace ds
