/* SPDX-License-Identifier: Zlib */
// The substitution's steps for the front end, which links the library's
// core itself: one file patched step by step as replaceString patches it,
// or many files as one batch that shares its syncs, on files named by a
// directory the front end holds open and a name in it, so that no name is
// resolved twice; and the scan that a call makes, to count and preview
// with it. Installers use the export; only the front end uses this.
#ifndef KIVSUBST_ENGINE_H
#define KIVSUBST_ENGINE_H

#include "batch.h"
#include "paths.h"
#include "platform.h"
#include "report.h"
#include "scan.h"
#include "scanners.h"
#include "substitute.h"
#include "text.h"
#include "text_scan.h"

namespace kivsubst::engine {

// A path as the system takes it: bytes on POSIX, UTF-16 on Windows.
using kivsubst::Path;
// The directory part of a path, separator kept, and the name after it.
using paths::directory_part;
using paths::name_part;

// An open file, closed when it goes; its status (identity, length, times).
using platform::File;
using platform::FileStatus;
// A directory the front end holds open, lent to the core (Directory::held);
// whether a link at a file's name in it is followed.
using platform::Directory;
using platform::Links;
// The error number of the last call that failed, to be taken right after
// it, and the system's words for one.
using platform::describe;
using platform::last_error;

// A pattern and its replacement; how they match (-i, -w, --max-count); the
// scan that finds and replaces them, and how a scan ended.
using kivsubst::Matching;
using kivsubst::Pair;
using kivsubst::ScanOutcome;
using kivsubst::Scanner;
// Text in each file's own encoding: the pairs as UTF-16 text, the scanner
// for the encoding a file's mark (or the caller) names, and the encodings.
using kivsubst::TextPair;
using kivsubst::TextScanners;
using TextEncoding = kivsubst::text::Encoding;
// The scanner for each file of a run, whichever kind the run's pairs are:
// one for every file (bytes), or the one for each file's encoding (text).
using kivsubst::ByteScanners;
using kivsubst::PairBytes;
using kivsubst::Scanners;
// Whether this system has an ANSI code page, and so the ansi encoding.
using platform::has_ansi_code_page;

// A file named by a held directory and a name in it, as the front end
// checked it.
using kivsubst::FileAt;
// One file's substitution, step by step, with the syncs of each step made
// as the export's call makes them (Durability::now); why a step failed.
using kivsubst::Durability;
using kivsubst::Failure;
using kivsubst::Substitution;
// Many files patched as one batch, made durable together, and what the
// batch tells of each file as it goes.
using kivsubst::Batch;
using kivsubst::BatchEvents;
// TMP's directory held for a run of many batches, with the temporary files
// they are done with kept for later files to write over.
using kivsubst::TemporaryStore;

// Where the library's own lines go (standard output, names as the caller
// shows them).
using report::Destination;
using report::send_lines_to;

}  // namespace kivsubst::engine

#endif
