// The library as an installer uses it: loaded at run time and the function
// found by its plain name.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>

#include "subst_fixture.h"

namespace {

using ReplaceFunction = std::int32_t (*)(const char*, const void*, std::int32_t, const void*,
                                         std::int32_t);

class LoadedSubstLibrary : public kivtest::SubstTest {};

TEST_F(LoadedSubstLibrary, ReplacesThroughTheFunctionFoundByItsPlainName) {
    void* library = ::dlopen(KIVSUBST_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << ::dlerror();
    auto replace_string = reinterpret_cast<ReplaceFunction>(::dlsym(library, "replaceString"));
    ASSERT_NE(replace_string, nullptr) << ::dlerror();

    kivtest::write_file(path("file"), "C:\\old\\path");
    EXPECT_EQ(replace_string(path("file").c_str(), "old", 3, "new", 3), 0);
    EXPECT_EQ(kivtest::read_file(path("file")), "C:\\new\\path");
    EXPECT_EQ(replace_string(path("file").c_str(), "old", 3, "new", 3), 1);
    ::dlclose(library);
}

}  // namespace
