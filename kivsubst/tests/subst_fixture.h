// A work directory with its own TMP, and calls of replaceString that capture
// the line it prints.
#ifndef KIVSUBST_TESTS_SUBST_FIXTURE_H
#define KIVSUBST_TESTS_SUBST_FIXTURE_H

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
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
        const char* tmp = std::getenv("TMP");
        saved_tmp_ = tmp != nullptr ? std::optional<std::string>(tmp) : std::nullopt;
        ::mkdir(path("tmp").c_str(), 0777);
        ::setenv("TMP", path("tmp").c_str(), 1);
    }
    void TearDown() override {
        if (saved_tmp_) {
            ::setenv("TMP", saved_tmp_->c_str(), 1);
        } else {
            ::unsetenv("TMP");
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

    // The names in a directory, "." and ".." left out.
    static std::vector<std::string> entries(const std::string& directory) {
        std::vector<std::string> names;
        if (DIR* listing = ::opendir(directory.c_str())) {
            while (const dirent* entry = ::readdir(listing)) {
                std::string name = entry->d_name;
                if (name != "." && name != "..") {
                    names.push_back(name);
                }
            }
            ::closedir(listing);
        }
        return names;
    }

private:
    std::optional<std::string> saved_tmp_;
};

}  // namespace kivtest

#endif
