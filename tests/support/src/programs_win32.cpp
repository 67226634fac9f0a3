// SPDX-License-Identifier: Zlib
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "kivtest/files.h"
#include "kivtest/programs.h"
#include "kivtest/wide.h"

namespace kivtest {
namespace {

constexpr int kStartAttempts = 4;

// Quotes one argument so that the C runtime's parser in the child gives it
// back unchanged: backslashes double only where they precede a quote.
std::string quoted(const std::string& argument) {
    if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) {
        return argument;
    }
    std::string out = "\"";
    std::size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            out.append(backslashes * 2 + 1, '\\');
        } else {
            out.append(backslashes, '\\');
        }
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, '\\');
    return out + "\"";
}

// This process's environment, changed as run_program's callers ask, as the
// block of NUL-terminated entries that CreateProcess takes.
std::string environment_block(const std::vector<std::string>& changes) {
    std::vector<std::string> entries;
    char* inherited = ::GetEnvironmentStringsA();
    for (const char* entry = inherited; *entry != '\0'; entry += std::strlen(entry) + 1) {
        entries.emplace_back(entry);
    }
    ::FreeEnvironmentStringsA(inherited);
    auto name_of = [](const std::string& entry) {
        return entry.substr(0, entry.find('=', entry.empty() || entry[0] != '=' ? 0 : 1));
    };
    std::string block;
    for (const std::string& entry : entries) {
        bool overridden = false;
        for (const std::string& change : changes) {
            overridden = overridden || _stricmp(name_of(change).c_str(), name_of(entry).c_str()) == 0;
        }
        if (!overridden) {
            block += entry;
            block += '\0';
        }
    }
    for (const std::string& change : changes) {
        if (change.find('=') != std::string::npos) {
            block += change;
            block += '\0';
        }
    }
    block += '\0';
    return block;
}

std::string without_carriage_returns(std::string text) {
    std::string::size_type at = 0;
    while ((at = text.find("\r\n", at)) != std::string::npos) {
        text.erase(at, 1);
    }
    return text;
}

HANDLE inheritable_output(const std::string& path) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

ProgramRun run_program(const std::string& program, const std::vector<std::string>& arguments,
                       const std::vector<std::string>& extra_environment) {
    std::string command_line = quoted(program);
    for (const std::string& argument : arguments) {
        command_line += " " + quoted(argument);
    }
    // The tests write their arguments in UTF-8; the program gets them as the
    // UTF-16 command line that Windows hands every program.
    std::wstring wide_command_line = widen(command_line);
    std::string environment = environment_block(extra_environment);

    // Output goes to files, so that a chatty program never blocks on a pipe.
    std::string scratch = make_work_directory();
    std::string out_path = scratch + "\\out";
    std::string err_path = scratch + "\\err";
    HANDLE out = INVALID_HANDLE_VALUE;
    HANDLE err = INVALID_HANDLE_VALUE;
    PROCESS_INFORMATION process{};
    ProgramRun run;
    bool started = false;
    DWORD start_error = ERROR_SUCCESS;
    // Under Wine a busy machine now and then loses a new process before it
    // has run any of its own code, and CreateProcess then reports an internal
    // error. The program under test never ran, so it is started again.
    for (int attempt = 1; attempt <= kStartAttempts && !started; ++attempt) {
        if (attempt > 1) {
            ::CloseHandle(out);
            ::CloseHandle(err);
            ::Sleep(200U * static_cast<DWORD>(attempt));
        }
        out = inheritable_output(out_path);
        err = inheritable_output(err_path);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = out;
        startup.hStdError = err;
        started = ::CreateProcessW(nullptr, wide_command_line.data(), nullptr, nullptr, TRUE, 0,
                                   environment.data(), nullptr, &startup, &process);
        start_error = ::GetLastError();
        if (start_error != ERROR_INTERNAL_ERROR) {
            break;
        }
    }
    if (started) {
        ::WaitForSingleObject(process.hProcess, INFINITE);
        DWORD exit_code = 0;
        ::GetExitCodeProcess(process.hProcess, &exit_code);
        run.exit_status = static_cast<int>(exit_code);
        ::CloseHandle(process.hThread);
        ::CloseHandle(process.hProcess);
    }
    ::CloseHandle(out);
    ::CloseHandle(err);
    // The programs write text: Windows ends their lines with CR LF.
    run.out = without_carriage_returns(read_file(out_path));
    run.err = started ? without_carriage_returns(read_file(err_path))
                      : "cannot start " + program + ": error " + std::to_string(start_error);
    remove_tree(scratch);
    return run;
}

}  // namespace kivtest
