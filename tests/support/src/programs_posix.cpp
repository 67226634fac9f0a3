// SPDX-License-Identifier: Zlib
#include "kivtest/programs.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace kivtest {
namespace {

// Reads a file that the child wrote its output to.
std::string slurp(std::FILE* file) {
    std::string text;
    std::rewind(file);
    char chunk[4096];
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, file)) > 0;) {
        text.append(chunk, got);
    }
    return text;
}

}  // namespace

ProgramRun run_program(const std::string& program, const std::vector<std::string>& arguments,
                       const std::vector<std::string>& extra_environment) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    // An entry "NAME=value" sets NAME for the child; a bare "NAME" unsets it.
    std::vector<std::string> environment_strings(extra_environment);
    std::vector<char*> envp;
    for (std::string& entry : environment_strings) {
        if (entry.find('=') != std::string::npos) {
            envp.push_back(entry.data());
        }
    }
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string inherited(*entry);
        std::string name = inherited.substr(0, inherited.find('='));
        bool overridden = false;
        for (const std::string& extra : extra_environment) {
            overridden = overridden || extra.substr(0, extra.find('=')) == name;
        }
        if (!overridden) {
            envp.push_back(*entry);
        }
    }
    envp.push_back(nullptr);

    // Output goes to unnamed temporary files, so that a chatty program can
    // never block on a full pipe.
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    ProgramRun run;
    if (out == nullptr || err == nullptr) {
        return run;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ::fileno(out), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, ::fileno(err), STDERR_FILENO);
    pid_t child = 0;
    int spawned = ::posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned == 0) {
        int status = 0;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        run.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        run.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    }
    run.out = slurp(out);
    run.err = spawned == 0 ? slurp(err) : "cannot start " + program + ": " + std::strerror(spawned);
    std::fclose(out);
    std::fclose(err);
    return run;
}

}  // namespace kivtest
