/* SPDX-License-Identifier: Zlib */
// The settling's steps that each platform takes in its own way
// (leftovers_posix.cpp, leftovers_win32.cpp); leftovers.cpp decides which
// step each name of ours gets.
#ifndef KIVFS_LEFTOVERS_PLATFORM_H
#define KIVFS_LEFTOVERS_PLATFORM_H

#include <functional>

#include "kivfs/hidden_names.h"
#include "kivfs/leftovers.h"

namespace kivfs::leftovers {

// Calls `fn` with each name in the folder, read once.
void for_each_name(const FolderToSettle& folder, const std::function<void(const Path&)>& fn);

// Removes a killed call's file of kind `name.kind` at `entry`, if it is one.
void remove_file(const FolderToSettle& folder, const Path& entry, const HiddenName& name);

// Removes a killed call's private directory at `entry` with what it holds.
void remove_private_directory(const FolderToSettle& folder, const Path& entry);

}  // namespace kivfs::leftovers

#endif
