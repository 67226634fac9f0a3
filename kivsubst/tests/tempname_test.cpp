// The temporary-name service: where names go, how they are numbered, and
// that an exclusive creation never opens a name that is taken.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "kivtest/files.h"
#if !defined(_WIN32)
#include "kivtest/faults.h"
#endif
#include "platform.h"
#include "tempname.h"

namespace {

using kivsubst::platform::Creation;
using kivsubst::platform::File;
namespace tempname = kivsubst::tempname;

class TempName : public kivtest::WorkDirTest {
protected:
    void SetUp() override {
        WorkDirTest::SetUp();
        saved_tmp_ = kivtest::environment("TMP");
        kivtest::unset_environment("TMP");
        kivtest::make_directory(path("tmp"));
        kivtest::make_directory(path("home"));
    }
    void TearDown() override {
        if (saved_tmp_) {
            kivtest::set_environment("TMP", *saved_tmp_);
        } else {
            kivtest::unset_environment("TMP");
        }
        WorkDirTest::TearDown();
    }

    // The number at the end of a name made in `directory`.
    static long number_of(const std::string& name, const std::string& directory) {
        std::smatch parts;
        std::string pattern = std::regex_replace(directory, std::regex(R"([.^$|()\[\]{}*+?\\])"),
                                                 R"(\$&)");
        EXPECT_TRUE(std::regex_match(name, parts, std::regex(pattern + R"([/\\]KIV([0-9]{1,5}))")))
            << name;
        return parts.empty() ? -1 : std::stol(parts[1]);
    }

private:
    std::optional<std::string> saved_tmp_;
};

TEST_F(TempName, PrefersTmpThenTheFilesDirectoryThenTheRoot) {
#if defined(_WIN32)
    const std::string root = "\\";
#else
    const std::string root = "/";
#endif
    kivtest::set_environment("TMP", path("tmp"));
    EXPECT_EQ(tempname::choose_directory(path("home/")), path("tmp"));

    kivtest::set_environment("TMP", "\"" + path("tmp") + "\"");
    EXPECT_EQ(tempname::choose_directory(path("home/")), path("tmp"));

    kivtest::set_environment("TMP", path("missing"));
    EXPECT_EQ(tempname::choose_directory(path("home/")), path("home/"));

    kivtest::unset_environment("TMP");
    EXPECT_EQ(tempname::choose_directory(path("home/")), path("home/"));
    EXPECT_EQ(tempname::choose_directory(""), root);
    EXPECT_EQ(tempname::choose_directory(path("missing/")), root);
}

TEST_F(TempName, NumbersRiseAndSkipNamesThatAreTaken) {
    const std::string directory = path("tmp");
    std::optional<std::string> first = tempname::next_free_name(directory);
    ASSERT_TRUE(first);
    long number = number_of(*first, directory);

    // The next two names are taken: a file and a dangling symbolic link.
    kivtest::write_file(directory + "/KIV" + std::to_string((number + 1) % 100000), "taken");
    const std::string dangling = directory + "/KIV" + std::to_string((number + 2) % 100000);
    if (!kivtest::symbolic_link(path("nowhere"), dangling)) {
        kivtest::write_file(dangling, "taken");  // no links here: a file takes the name
    }
    std::optional<std::string> next = tempname::next_free_name(directory + "/");
    ASSERT_TRUE(next);
    EXPECT_EQ(number_of(*next, directory), (number + 3) % 100000);
}

TEST_F(TempName, GivesUpAfterAFullCircleOfNamesThatCannotBeChecked) {
    // Under a regular file, no name can be checked.
    kivtest::write_file(path("plain"), "");
    EXPECT_FALSE(tempname::next_free_name(path("plain")));
}

TEST_F(TempName, CreationNeverFollowsALinkPlantedAtTheName) {
    kivtest::write_file(path("victim"), "precious");
    if (!kivtest::symbolic_link(path("victim"), path("tmp/KIV7"))) {
        GTEST_SKIP() << "this system refused to make a symbolic link";
    }
    Creation outcome = Creation::created;
    File file = File::create_new(path("tmp/KIV7"), outcome);
    EXPECT_EQ(outcome, Creation::name_taken);
    EXPECT_FALSE(file.is_open());
    EXPECT_EQ(kivtest::read_file(path("victim")), "precious");
}

#if !defined(_WIN32)
TEST_F(TempName, CreatesTheFileForItsOwnerOnly) {
    Creation outcome = Creation::failed;
    File file = File::create_new(path("tmp/KIV8"), outcome);
    ASSERT_EQ(outcome, Creation::created);
    EXPECT_EQ(kivtest::status_of(path("tmp/KIV8")).st_mode & 07777, 0600u);
}

#endif

}  // namespace
