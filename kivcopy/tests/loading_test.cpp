// The library as an installer uses it: loaded at run time and the function
// found by its plain name.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>

#include "kivtest/files.h"

namespace {

using CopyFunction = std::int32_t (*)(const char*, const char*, std::int32_t);

class LoadedLibrary : public kivtest::WorkDirTest {};

TEST_F(LoadedLibrary, CopiesThroughTheFunctionFoundByItsPlainName) {
    void* library = ::dlopen(KIVCOPY_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << ::dlerror();
    auto copy = reinterpret_cast<CopyFunction>(::dlsym(library, "KivCopyFile"));
    ASSERT_NE(copy, nullptr) << ::dlerror();

    kivtest::write_file(path("source"), "installed");
    EXPECT_EQ(copy(path("source").c_str(), path("target").c_str(), 0), 0);
    EXPECT_EQ(kivtest::read_file(path("target")), "installed");
    EXPECT_EQ(copy(path("source").c_str(), path("target").c_str(), 0), -5048);
    EXPECT_EQ(copy(path("missing").c_str(), path("other").c_str(), 1), 10);
    ::dlclose(library);
}

}  // namespace
