#pragma once
// What a directory listing shows is the face's DirLister (vmfs/datastore.h),
// made in listing.cpp. Nothing is left here: remove this header once nothing
// includes it.

#include "vmfs/datastore.h"
#include "vmfs/dirent.h"
