/* SPDX-License-Identifier: Zlib */
// The cases of the decision by version, one or more per row of its table,
// as both the export's tests and the transaction's run them.
#ifndef KIVCOPY_TESTS_DECISION_CASES_H
#define KIVCOPY_TESTS_DECISION_CASES_H

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "kivcopy.h"
#include "pe_image.h"

namespace kivcopy_test {

// A DLL of version `major`.`minor`.0.0; `build` tells two builds of one
// version apart (a rebuild, a re-signing) by bytes past the image.
inline std::string dll(std::uint32_t major, std::uint32_t minor, const std::string& build = "") {
    Image image(true, major << 16 | minor, 0);
    return image.bytes + build;
}

// How the target came to be before the install under test.
enum class Before {
    ours,      // installed by an earlier install with the manifest
    not_ours,  // put there by someone else (or edited after our install)
    no_manifest,
};

struct Case {
    const char* name;
    std::string installed;
    Before before;
    std::string incoming;
    int flags;
    int result;
    bool replaced;
};

// How GoogleTest shows a case: by its name (its raw bytes, the default,
// would include the padding between the fields, which nothing sets).
inline void PrintTo(const Case& shown, std::ostream* out) {
    *out << shown.name;
}

// One case per row of the table, in its order, and the cases installers
// meet named after them; `before` says how the target got there.
inline std::vector<Case> decision_cases() {
    const int by_version = KIVINSTALL_BY_VERSION;
    return {
        {"IdenticalBytes", dll(2, 0), Before::ours, dll(2, 0), by_version,
         KIVINSTALL_ALREADY_CURRENT, false},
        {"IdenticalUnversionedWithoutManifest", "same", Before::no_manifest, "same", by_version,
         KIVINSTALL_ALREADY_CURRENT, false},
        {"NewerVersion", dll(2, 0), Before::not_ours, dll(2, 1), by_version, KIVCOPY_OK, true},
        {"VendorsLowerVersionWithDowngradeAllowed", dll(3, 0), Before::ours, dll(2, 5),
         by_version | KIVINSTALL_ALLOW_DOWNGRADE, KIVCOPY_OK, true},
        {"SharedDllOlderThanTheOneInstalled", dll(2, 1), Before::not_ours, dll(2, 0), by_version,
         KIVINSTALL_KEPT_NEWER, false},
        {"RebuildOfTheSameVersionOverOurs", dll(2, 0, "unsigned"), Before::ours,
         dll(2, 0, "re-signed"), by_version, KIVCOPY_OK, true},
        {"RebuildOfTheSameVersionWithReplaceSameVersion", dll(2, 0, "unsigned"), Before::not_ours,
         dll(2, 0, "re-signed"), by_version | KIVINSTALL_REPLACE_SAME_VERSION, KIVCOPY_OK, true},
        {"RebuildOfTheSameVersionOverAnotherProducts", dll(2, 0, "theirs"), Before::not_ours,
         dll(2, 0, "ours"), by_version, KIVINSTALL_KEPT_SAME_VERSION, false},
        {"VersionedOverUnversioned", "plain", Before::not_ours, dll(1, 0), by_version, KIVCOPY_OK,
         true},
        {"UnversionedOverOurVersioned", dll(1, 0), Before::ours, "plain", by_version, KIVCOPY_OK,
         true},
        {"UnversionedOverVersionedWithDowngradeAllowed", dll(1, 0), Before::not_ours, "plain",
         by_version | KIVINSTALL_ALLOW_DOWNGRADE, KIVCOPY_OK, true},
        {"UnversionedOverAnotherVersioned", dll(1, 0), Before::not_ours, "plain", by_version,
         KIVINSTALL_KEPT_NEWER, false},
        {"SettingsFileTheUserEdited", "colour=blue (the user's)", Before::not_ours,
         "colour=red", by_version, KIVINSTALL_KEPT_CHANGED, false},
        {"SettingsFileAsWeInstalledIt", "colour=blue", Before::ours, "colour=red", by_version,
         KIVCOPY_OK, true},
        {"UnversionedWithoutManifest", "colour=blue", Before::no_manifest, "colour=red",
         by_version, KIVCOPY_OK, true},
        // Without flag 8 an install replaces as KivInstallFile does, and the
        // flags that only shape the decision do nothing.
        {"OlderWithoutDecision", dll(2, 1), Before::not_ours, dll(2, 0),
         KIVINSTALL_REPLACE | KIVINSTALL_ALLOW_DOWNGRADE, KIVCOPY_OK, true},
    };
}

}  // namespace kivcopy_test

#endif
