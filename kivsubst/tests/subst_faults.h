/* SPDX-License-Identifier: Zlib */
// Linux only. What the fault tests share: the input they patch and the
// fixture that stages full disks and finds the temporary file a failed call
// kept.
#ifndef KIVSUBST_TESTS_SUBST_FAULTS_H
#define KIVSUBST_TESTS_SUBST_FAULTS_H

#include <memory>
#include <string>
#include <vector>

#include "kivtest/faults.h"
#include "kivtest/reference.h"
#include "subst_fixture.h"

namespace kivtest {

class SubstFault : public SubstTest {
protected:
    // About 190 KB of "key=N;" that replacing "=" by "===" grows by a fifth:
    // enough to fill a small file system part-way through a call.
    static std::string growing_input() {
        std::string input;
        for (int i = 0; i < 20000; ++i) {
            input += "key=" + std::to_string(i) + ";";
        }
        return input;
    }
    // What replacing "=" by "===" makes of `input`.
    static std::string grown(const std::string& input) {
        return reference_substitution(input, "=", "===").output;
    }

    // A 1 MiB tmpfs at small/ that holds `input` as small/file and has no
    // room left; the caller skips the test when the mount is refused.
    std::unique_ptr<TmpfsMount> full_disk_holding(const std::string& input) {
        auto small = std::make_unique<TmpfsMount>(path("small"), 1024 * 1024);
        if (small->ok()) {
            write_file(path("small/file"), input);
            fill_file_system(path("small"));
        }
        return small;
    }

    // The name of the one temporary file left in TMP.
    std::string kept_temporary() {
        std::vector<std::string> names = entries(path("tmp"));
        EXPECT_EQ(names.size(), 1u);
        return names.empty() ? std::string() : path("tmp/" + names.front());
    }
};

}  // namespace kivtest

#endif
