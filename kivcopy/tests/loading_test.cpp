// SPDX-License-Identifier: Zlib
// The library as an installer uses it: loaded at run time and the function
// found by its plain name.
#include <gtest/gtest.h>

#include <cstdint>

#include "kivcopy.h"
#include "kivtest/files.h"
#if defined(_WIN32)
#include "kivtest/wide.h"
#endif

namespace {

// A pointer of the documented calling convention, as an installer declares it.
using CopyFunction = std::int32_t(KIVCOPY_CALL*)(const char*, const char*, std::int32_t);

class LoadedCopyLibrary : public kivtest::WorkDirTest {};

TEST_F(LoadedCopyLibrary, CopiesThroughTheFunctionFoundByItsPlainName) {
    kivtest::LoadedLibrary library(KIVCOPY_LIBRARY_PATH);
    auto copy = library.function<CopyFunction>("KivCopyFile");
    ASSERT_NE(copy, nullptr) << library.error();

    kivtest::write_file(path("source"), "installed");
    EXPECT_EQ(copy(path("source").c_str(), path("target").c_str(), 0), 0);
    EXPECT_EQ(kivtest::read_file(path("target")), "installed");
    EXPECT_EQ(copy(path("source").c_str(), path("target").c_str(), 0), -5048);
    EXPECT_EQ(copy(path("missing").c_str(), path("other").c_str(), 1), 10);
}

TEST_F(LoadedCopyLibrary, InstallsThroughTheFunctionFoundByItsPlainName) {
    kivtest::LoadedLibrary library(KIVCOPY_LIBRARY_PATH);
    auto install = library.function<CopyFunction>("KivInstallFile");
    ASSERT_NE(install, nullptr) << library.error();

    kivtest::write_file(path("source"), "installed");
    kivtest::write_file(path("target"), "old");
    EXPECT_EQ(install(path("source").c_str(), path("target").c_str(), 0), -5048);
    EXPECT_EQ(install(path("source").c_str(), path("target").c_str(), 1), 0);
    EXPECT_EQ(kivtest::read_file(path("target")), "installed");
}

using VersionFunction = std::int32_t(KIVCOPY_CALL*)(const char*, std::uint32_t*, std::uint32_t*);

// A file that is no PE image has no version; a missing one is not opened.
TEST_F(LoadedCopyLibrary, ReadsVersionsThroughTheFunctionFoundByItsPlainName) {
    kivtest::LoadedLibrary library(KIVCOPY_LIBRARY_PATH);
    auto version = library.function<VersionFunction>("KivFileVersion");
    ASSERT_NE(version, nullptr) << library.error();

    kivtest::write_file(path("text"), "not an image");
    std::uint32_t high = 0;
    std::uint32_t low = 0;
    EXPECT_EQ(version(path("text").c_str(), &high, &low), 1);
    EXPECT_EQ(version(path("missing").c_str(), &high, &low), 10);
}

#if defined(_WIN32)
using WideVersionFunction = std::int32_t(KIVCOPY_CALL*)(const wchar_t*, std::uint32_t*,
                                                        std::uint32_t*);

TEST_F(LoadedCopyLibrary, ReadsVersionsThroughTheWideTwinFoundByItsPlainName) {
    kivtest::LoadedLibrary library(KIVCOPY_LIBRARY_PATH);
    auto version = library.function<WideVersionFunction>("KivFileVersionW");
    ASSERT_NE(version, nullptr) << library.error();

    kivtest::write_file(path("text"), "not an image");
    std::uint32_t high = 0;
    std::uint32_t low = 0;
    EXPECT_EQ(version(kivtest::widen(path("text")).c_str(), &high, &low), 1);
    EXPECT_EQ(version(kivtest::widen(path("missing")).c_str(), &high, &low), 10);
}

using WideCopyFunction = std::int32_t(KIVCOPY_CALL*)(const wchar_t*, const wchar_t*, std::int32_t);

TEST_F(LoadedCopyLibrary, CopiesThroughTheWideTwinFoundByItsPlainName) {
    kivtest::LoadedLibrary library(KIVCOPY_LIBRARY_PATH);
    auto copy = library.function<WideCopyFunction>("KivCopyFileW");
    ASSERT_NE(copy, nullptr) << library.error();

    kivtest::write_file(path("source"), "installed");
    const std::wstring source = kivtest::widen(path("source"));
    const std::wstring target = kivtest::widen(path("target"));
    EXPECT_EQ(copy(source.c_str(), target.c_str(), 0), 0);
    EXPECT_EQ(kivtest::read_file(path("target")), "installed");
    EXPECT_EQ(copy(source.c_str(), target.c_str(), 0), -5048);
}

TEST_F(LoadedCopyLibrary, InstallsThroughItsWideTwinFoundByItsPlainName) {
    kivtest::LoadedLibrary library(KIVCOPY_LIBRARY_PATH);
    auto install = library.function<WideCopyFunction>("KivInstallFileW");
    ASSERT_NE(install, nullptr) << library.error();

    kivtest::write_file(path("source"), "installed");
    const std::wstring source = kivtest::widen(path("source"));
    const std::wstring target = kivtest::widen(path("target"));
    EXPECT_EQ(install(source.c_str(), target.c_str(), 0), 0);
    EXPECT_EQ(kivtest::read_file(path("target")), "installed");
    EXPECT_EQ(install(source.c_str(), target.c_str(), 0), -5048);
}
#endif

}  // namespace
