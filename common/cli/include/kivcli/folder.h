/* SPDX-License-Identifier: Zlib */
// The directories that the front ends work in: kivfs::Directory, held by
// handle, under the front ends' own words.
#ifndef KIVCLI_FOLDER_H
#define KIVCLI_FOLDER_H

#include "kivfs/directory.h"

namespace kivcli {

using kivcommon::FileIdentity;
using kivcommon::FileTime;
using kivcommon::FileTimes;
using kivcommon::Links;
using kivcommon::NativeHandle;
using kivfs::describe;
using kivfs::join_shown;
using kivfs::not_found_error;
using kivfs::replaced_meanwhile;
using kivfs::Status;
using kivfs::SystemError;
using Folder = kivfs::Directory;

}  // namespace kivcli

#endif
