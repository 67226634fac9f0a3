// SPDX-License-Identifier: Zlib
// The library as an installer uses it: loaded at run time and the function
// found by its plain name.
#include <gtest/gtest.h>

#include <cstdint>

#include "subst_fixture.h"
#if defined(_WIN32)
#include "kivtest/wide.h"
#endif

namespace {

// A pointer of the documented calling convention, as an installer declares it.
using ReplaceFunction = std::int32_t(KIVSUBST_CALL*)(const char*, const void*, std::int32_t,
                                                      const void*, std::int32_t);

class LoadedSubstLibrary : public kivtest::SubstTest {};

TEST_F(LoadedSubstLibrary, ReplacesThroughTheFunctionFoundByItsPlainName) {
    kivtest::LoadedLibrary library(KIVSUBST_LIBRARY_PATH);
    auto replace_string = library.function<ReplaceFunction>("replaceString");
    ASSERT_NE(replace_string, nullptr) << library.error();

    kivtest::write_file(path("file"), "C:\\old\\path");
    EXPECT_EQ(replace_string(path("file").c_str(), "old", 3, "new", 3), 0);
    EXPECT_EQ(kivtest::read_file(path("file")), "C:\\new\\path");
    EXPECT_EQ(replace_string(path("file").c_str(), "old", 3, "new", 3), 1);
}

#if defined(_WIN32)
using WideReplaceFunction = std::int32_t(KIVSUBST_CALL*)(const wchar_t*, const void*,
                                                         std::int32_t, const void*, std::int32_t);

TEST_F(LoadedSubstLibrary, ReplacesThroughTheWideTwinFoundByItsPlainName) {
    kivtest::LoadedLibrary library(KIVSUBST_LIBRARY_PATH);
    auto replace_string = library.function<WideReplaceFunction>("replaceStringW");
    ASSERT_NE(replace_string, nullptr) << library.error();

    kivtest::write_file(path("file"), "C:\\old\\path");
    const std::wstring file = kivtest::widen(path("file"));
    EXPECT_EQ(replace_string(file.c_str(), "old", 3, "new", 3), 0);
    EXPECT_EQ(kivtest::read_file(path("file")), "C:\\new\\path");
}
#endif

}  // namespace
