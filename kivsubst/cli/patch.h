/* SPDX-License-Identifier: Zlib */
// Patching the files of a run through the library's own steps: one file as
// the library's call does it, several in batches that share the syncs which
// make them durable, each with its backup first where one is asked for.
#ifndef KIVSUBST_CLI_PATCH_H
#define KIVSUBST_CLI_PATCH_H

#include <cstdint>
#include <memory>
#include <vector>

#include "engine.h"
#include "kivcli/progress.h"
#include "options.h"
#include "system.h"
#include "tally.h"
#include "targets.h"

namespace kivsubst_cli {

// The scanners for the run's pairs, matching as the command line asks: one
// for every file, or with --encoding one for each file's encoding. Every
// scan of a run (the count, the preview, one file, the batches, standard
// input) is made with them, so that all of them find the same occurrences.
std::unique_ptr<kivsubst::engine::Scanners> scanners_for(const Options& options);

// Patches every target; failures are told on standard error, each naming
// its file, after the library's own line on standard output. A stop that
// `stops` holds ends the run before the next file's write-back, or at the
// end of a batch whose write-backs have begun: every file is old or new,
// and no temporary file is left.
void patch_targets(std::vector<Target>& targets, const Options& options, Tally& tally,
                   const HeldStops& stops);

}  // namespace kivsubst_cli

#endif
