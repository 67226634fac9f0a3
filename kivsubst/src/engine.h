/* SPDX-License-Identifier: Zlib */
// What the front end uses of the library's core, which it links itself:
// the substitution's steps (substitute.h) on files named by a directory it
// holds and a name in it (FileAt), so that no name is resolved twice; the
// scan (scan.h), to count and preview with the very scan a call makes; and
// the platform layer's files, directories and group syncs (platform.h).
// Installers use the export; only the front end uses this.
#ifndef KIVSUBST_ENGINE_H
#define KIVSUBST_ENGINE_H

#include "platform.h"
#include "scan.h"
#include "substitute.h"

#endif
