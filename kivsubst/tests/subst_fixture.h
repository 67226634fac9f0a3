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
        saved_tmp_ = environment("TMP");
        make_directory(path("tmp"));
        set_environment("TMP", path("tmp"));
    }
    void TearDown() override {
        if (saved_tmp_) {
            set_environment("TMP", *saved_tmp_);
        } else {
            unset_environment("TMP");
        }
        WorkDirTest::TearDown();
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
        const std::optional<std::string> before = environment("TMP");
        ::testing::internal::CaptureStdout();
        if (tmp) {
            set_environment("TMP", *tmp);
        } else {
            unset_environment("TMP");
        }
        Call made;
        made.result = replaceString(file.c_str(), pattern.data(), static_cast<int32_t>(pattern.size()),
                                    replacement.data(), static_cast<int32_t>(replacement.size()));
        if (before) {
            set_environment("TMP", *before);
        } else {
            unset_environment("TMP");
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
    std::optional<std::string> saved_tmp_;
};

}  // namespace kivtest

#endif
