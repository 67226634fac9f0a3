/* SPDX-License-Identifier: Zlib */
// The fixtures of the tests that reach inside the library, shared by the
// tests that run everywhere and those that only Linux can stage
// (internal_faults_test.cpp).
#ifndef KIVSUBST_TESTS_INTERNAL_FIXTURES_H
#define KIVSUBST_TESTS_INTERNAL_FIXTURES_H

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "kivtest/files.h"
#include "platform.h"
#include "scan.h"

namespace kivtest {

// A test's path, narrow text, in the library's own form (UTF-16 on Windows),
// and back.
inline kivsubst::Path native(const std::string& path) {
    return kivsubst::platform::path_from_narrow(path.c_str()).value();
}
inline std::string narrow(const kivsubst::Path& path) {
    return kivsubst::platform::narrow_path(path);
}

// The temporary-name service with TMP unset, and a tmp/ and a home/ to
// point it at.
class TempName : public WorkDirTest {
protected:
    void SetUp() override {
        WorkDirTest::SetUp();
        make_directory(path("tmp"));
        make_directory(path("home"));
    }

    // The number of a temporary name.
    static long number_of(const kivsubst::Path& name) {
        const std::string text = narrow(name);
        std::smatch parts;
        EXPECT_TRUE(std::regex_match(text, parts, std::regex(R"(KIV([0-9]{1,5}))"))) << text;
        return parts.empty() ? -1 : std::stol(parts[1]);
    }

private:
    ScopedEnvironment no_tmp_{"TMP", std::nullopt};
};

// The scan run over files written to a work directory.
class Scan : public WorkDirTest {
protected:
    // A string's bytes, as the scanner takes them.
    static kivsubst::Bytes bytes_of(const std::string& text) {
        return {reinterpret_cast<const unsigned char*>(text.data()), text.size()};
    }

    // Scans `length` bytes of a file holding `input` and returns the output.
    kivsubst::ScanOutcome scan(const std::string& input, std::int64_t length,
                               const std::string& pattern, const std::string& replacement,
                               std::size_t block_size, std::string& output) {
        kivsubst::Scanner scanner(bytes_of(pattern), bytes_of(replacement), block_size);
        return scan_with(scanner, input, length, output);
    }

    // The same with several pairs at once.
    kivsubst::ScanOutcome scan(const std::string& input,
                               const std::vector<std::pair<std::string, std::string>>& pairs,
                               std::size_t block_size, std::string& output) {
        std::vector<kivsubst::Pair> views;
        for (const auto& pair : pairs) {
            views.push_back({bytes_of(pair.first), bytes_of(pair.second)});
        }
        kivsubst::Scanner scanner(views, block_size);
        return scan_with(scanner, input, static_cast<std::int64_t>(input.size()), output);
    }

    // The same, over `length` bytes of the file.
    kivsubst::ScanOutcome scan(const std::string& input, std::int64_t length,
                               const std::vector<std::pair<std::string, std::string>>& pairs,
                               std::size_t block_size, std::string& output) {
        return scan(input, length, pairs, kivsubst::Matching{}, block_size, output);
    }

    // The same, matching as `matching` says.
    kivsubst::ScanOutcome scan(const std::string& input, std::int64_t length,
                               const std::vector<std::pair<std::string, std::string>>& pairs,
                               const kivsubst::Matching& matching, std::size_t block_size,
                               std::string& output) {
        std::vector<kivsubst::Pair> views;
        for (const auto& pair : pairs) {
            views.push_back({bytes_of(pair.first), bytes_of(pair.second)});
        }
        kivsubst::Scanner scanner(views, matching, block_size);
        return scan_with(scanner, input, length, output);
    }

private:
    kivsubst::ScanOutcome scan_with(kivsubst::Scanner& scanner, const std::string& input,
                                    std::int64_t length, std::string& output) {
        using kivsubst::platform::Creation;
        using kivsubst::platform::File;
        write_file(path("input"), input);
        std::remove(path("output").c_str());
        File in = File::open_for_reading(native(path("input")));
        Creation created = Creation::failed;
        File out = File::create_new(native(path("output")), created);
        EXPECT_EQ(created, Creation::created);
        EXPECT_TRUE(scanner.ready());
        kivsubst::ScanOutcome outcome = scanner.run(in, length, out);
        out.close();
        output = read_file(path("output"));
        return outcome;
    }
};

}  // namespace kivtest

#endif
