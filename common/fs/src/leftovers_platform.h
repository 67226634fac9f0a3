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

// Puts the target renamed aside at `entry` back at its name `target` where
// that is empty, else removes it as an old file.
void put_back(const FolderToSettle& folder, const Path& entry, const Path& target);

}  // namespace kivfs::leftovers

#endif
