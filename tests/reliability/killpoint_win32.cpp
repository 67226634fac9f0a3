// SPDX-License-Identifier: Zlib
// The driver's kill points on Windows. Each import of our DLLs from
// KERNEL32 that can change a file or folder is pointed at a stand-in that
// counts the call and, at the chosen count, terminates the process before
// passing the call on: what the disk then holds is what a kill at that
// moment leaves. Calls that only read (a CreateFileW that opens an
// existing file without asking to write or delete it) are not counted.
#include "killpoint_win32.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace kivtest {
namespace {

long calls = 0;
long kill_at = 0;
char tally_file[MAX_PATH] = "";

// Counts one call that changes the disk, and ends the process before the
// chosen one; the exit code tells the harness that it was killed.
void before_change() {
    if (++calls == kill_at) {
        ::TerminateProcess(::GetCurrentProcess(), 137);
    }
}

template <typename Function>
Function real(const char* name) {
    return reinterpret_cast<Function>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), name)));
}

// A CreateFileW that may create, empty or change a file: one that creates
// or truncates, or asks to write or delete.
bool changes(DWORD access, DWORD disposition) {
    const DWORD writing =
        GENERIC_WRITE | GENERIC_ALL | DELETE | FILE_WRITE_DATA | FILE_APPEND_DATA | WRITE_DAC;
    return disposition != OPEN_EXISTING || (access & writing) != 0;
}

HANDLE WINAPI create_file(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                          DWORD disposition, DWORD flags, HANDLE model) {
    if (changes(access, disposition)) {
        before_change();
    }
    static const auto call = real<decltype(&::CreateFileW)>("CreateFileW");
    return call(name, access, share, security, disposition, flags, model);
}

BOOL WINAPI write_file(HANDLE file, LPCVOID bytes, DWORD size, LPDWORD written,
                       LPOVERLAPPED overlapped) {
    before_change();
    static const auto call = real<decltype(&::WriteFile)>("WriteFile");
    return call(file, bytes, size, written, overlapped);
}

BOOL WINAPI set_information(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID information,
                            DWORD size) {
    before_change();
    static const auto call =
        real<decltype(&::SetFileInformationByHandle)>("SetFileInformationByHandle");
    return call(file, kind, information, size);
}

BOOL WINAPI move_file(LPCWSTR from, LPCWSTR to, DWORD flags) {
    before_change();
    static const auto call = real<decltype(&::MoveFileExW)>("MoveFileExW");
    return call(from, to, flags);
}

BOOL WINAPI delete_file(LPCWSTR name) {
    before_change();
    static const auto call = real<decltype(&::DeleteFileW)>("DeleteFileW");
    return call(name);
}

BOOL WINAPI create_directory(LPCWSTR name, LPSECURITY_ATTRIBUTES security) {
    before_change();
    static const auto call = real<decltype(&::CreateDirectoryW)>("CreateDirectoryW");
    return call(name, security);
}

BOOL WINAPI remove_directory(LPCWSTR name) {
    before_change();
    static const auto call = real<decltype(&::RemoveDirectoryW)>("RemoveDirectoryW");
    return call(name);
}

BOOL WINAPI create_hard_link(LPCWSTR link, LPCWSTR existing, LPSECURITY_ATTRIBUTES security) {
    before_change();
    static const auto call = real<decltype(&::CreateHardLinkW)>("CreateHardLinkW");
    return call(link, existing, security);
}

BOOL WINAPI flush_file(HANDLE file) {
    before_change();
    static const auto call = real<decltype(&::FlushFileBuffers)>("FlushFileBuffers");
    return call(file);
}

BOOL WINAPI set_end_of_file(HANDLE file) {
    before_change();
    static const auto call = real<decltype(&::SetEndOfFile)>("SetEndOfFile");
    return call(file);
}

BOOL WINAPI set_file_time(HANDLE file, const FILETIME* created, const FILETIME* accessed,
                          const FILETIME* modified) {
    before_change();
    static const auto call = real<decltype(&::SetFileTime)>("SetFileTime");
    return call(file, created, accessed, modified);
}

struct StandIn {
    const char* name;
    void* function;
};
const StandIn stand_ins[] = {
    {"CreateFileW", reinterpret_cast<void*>(&create_file)},
    {"WriteFile", reinterpret_cast<void*>(&write_file)},
    {"SetFileInformationByHandle", reinterpret_cast<void*>(&set_information)},
    {"MoveFileExW", reinterpret_cast<void*>(&move_file)},
    {"DeleteFileW", reinterpret_cast<void*>(&delete_file)},
    {"CreateDirectoryW", reinterpret_cast<void*>(&create_directory)},
    {"RemoveDirectoryW", reinterpret_cast<void*>(&remove_directory)},
    {"CreateHardLinkW", reinterpret_cast<void*>(&create_hard_link)},
    {"FlushFileBuffers", reinterpret_cast<void*>(&flush_file)},
    {"SetEndOfFile", reinterpret_cast<void*>(&set_end_of_file)},
    {"SetFileTime", reinterpret_cast<void*>(&set_file_time)},
};

void* stand_in_for(const char* name) {
    for (const StandIn& stand_in : stand_ins) {
        if (std::strcmp(stand_in.name, name) == 0) {
            return stand_in.function;
        }
    }
    return nullptr;
}

// Points the module's KERNEL32 imports that have a stand-in at it.
void point_imports(HMODULE module) {
    auto* const base = reinterpret_cast<BYTE*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports =
        headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* library = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         library->Name != 0; ++library) {
        if (_stricmp(reinterpret_cast<const char*>(base + library->Name), "KERNEL32.dll") != 0) {
            continue;
        }
        auto* name = reinterpret_cast<IMAGE_THUNK_DATA*>(base + library->OriginalFirstThunk);
        auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + library->FirstThunk);
        for (; name->u1.AddressOfData != 0; ++name, ++slot) {
            if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal)) {
                continue;
            }
            const auto* by_name =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + name->u1.AddressOfData);
            void* const stand_in = stand_in_for(reinterpret_cast<const char*>(by_name->Name));
            if (stand_in == nullptr) {
                continue;
            }
            DWORD protection = 0;
            ::VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, PAGE_READWRITE,
                             &protection);
            slot->u1.Function = reinterpret_cast<ULONG_PTR>(stand_in);
            ::VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, protection,
                             &protection);
        }
    }
}

void write_tally() {
    if (FILE* file = std::fopen(tally_file, "w")) {
        std::fprintf(file, "%ld\n", calls);
        std::fclose(file);
    }
}

}  // namespace

void arm_kill_points() {
    const char* at = std::getenv("KIV_KILL_AT");
    const char* tally = std::getenv("KIV_KILL_TALLY");
    if (at == nullptr && tally == nullptr) {
        return;
    }
    kill_at = at != nullptr ? std::strtol(at, nullptr, 10) : 0;
    for (const wchar_t* dll : {L"kivtransaction.dll", L"kivcopy.dll", L"kivsubst.dll"}) {
        if (HMODULE module = ::GetModuleHandleW(dll)) {
            point_imports(module);
        }
    }
    if (tally != nullptr && kill_at == 0) {
        std::snprintf(tally_file, sizeof tally_file, "%s", tally);
        std::atexit(write_tally);
    }
}

}  // namespace kivtest
