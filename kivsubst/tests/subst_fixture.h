/* SPDX-License-Identifier: Zlib */
// A work directory with its own TMP, and calls of replaceString that capture
// the line it prints.
#ifndef KIVSUBST_TESTS_SUBST_FIXTURE_H
#define KIVSUBST_TESTS_SUBST_FIXTURE_H

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "kivsubst.h"
#include "kivtest/files.h"

namespace kivtest {

struct Call {
    int result = -1;
    std::string printed;  // what the call wrote on standard output
};

class SubstTest : public WorkDirTest {
protected:
    void SetUp() override {
        WorkDirTest::SetUp();
        make_directory(path("tmp"));
        tmp_.emplace("TMP", path("tmp"));
    }

    static Call replace(const std::string& file, const std::string& pattern,
                        const std::string& replacement) {
        return call(file.c_str(), pattern.data(), static_cast<int32_t>(pattern.size()),
                    replacement.data(), static_cast<int32_t>(replacement.size()));
    }

    static Call call(const char* file, const void* pattern, int32_t pattern_length,
                     const void* replacement, int32_t replacement_length) {
        ::testing::internal::CaptureStdout();
        Call made;
        made.result = replaceString(file, pattern, pattern_length, replacement, replacement_length);
        made.printed = ::testing::internal::GetCapturedStdout();
        return made;
    }

    // A call with TMP set to `tmp` (unset when none) for the call alone: the
    // capture of standard output makes its own file in TMP, and must not
    // meet a TMP that only the library is meant to understand.
    static Call replace_with_tmp(const std::optional<std::string>& tmp, const std::string& file,
                                 const std::string& pattern, const std::string& replacement) {
        ::testing::internal::CaptureStdout();
        Call made;
        {
            ScopedEnvironment for_the_call("TMP", tmp);
            made.result = replaceString(file.c_str(), pattern.data(), static_cast<int32_t>(pattern.size()),
                                        replacement.data(), static_cast<int32_t>(replacement.size()));
        }
        made.printed = ::testing::internal::GetCapturedStdout();
        return made;
    }

    // The names in a directory.
    static std::vector<std::string> entries(const std::string& directory) {
        std::vector<std::string> names;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }

private:
    // The test's own TMP, and whatever the test sets TMP to, last until the
    // test ends.
    std::optional<ScopedEnvironment> tmp_;
};

}  // namespace kivtest

#endif
