// SPDX-License-Identifier: Zlib
// The restart queue on Windows: moves and deletions queued with MoveFileExW
// (MOVEFILE_DELAY_UNTIL_REBOOT), and the entries of earlier runs that would
// undo an install taken out of PendingFileRenameOperations (and its
// successor PendingFileRenameOperations2), every other entry left as it
// was. The registry is ADVAPI32's, which kiv_fs links: a system DLL that
// Windows always loads from its own folder (a known DLL), never from the
// installer's temporary folder beside ours.
#include "kivfs/restart_queue.h"

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "kivcommon/win32_paths.h"

namespace kivfs {
namespace {

int system_delayed_move(const wchar_t* from, const wchar_t* to, unsigned long flags) {
    return ::MoveFileExW(from, to, flags);
}

// A path as a restart entry names it, without its "\??\" (or "\\?\")
// prefix and, for a target, without the "!" that asks for a replacement;
// a share as "UNC\server\share\...".
std::wstring entry_name(std::wstring path) {
    if (!path.empty() && path.front() == L'!') {
        path.erase(0, 1);
    }
    if (kivcommon::starts_with(path, L"\\??\\") || kivcommon::starts_with(path, L"\\\\?\\")) {
        return path.substr(4);
    }
    if (kivcommon::starts_with(path, L"\\\\")) {
        return L"UNC\\" + path.substr(2);
    }
    return path;
}

bool same_name(const std::wstring& a, const std::wstring& b) {
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                  static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// GetLongPathNameW of a path that exists; empty where it does not.
std::wstring long_path_of(const std::wstring& path) {
    const DWORD needed = ::GetLongPathNameW(path.c_str(), nullptr, 0);
    if (needed == 0) {
        return {};
    }
    std::wstring long_path(needed, L'\0');
    const DWORD written = ::GetLongPathNameW(path.c_str(), long_path.data(), needed);
    if (written == 0 || written >= needed) {
        return {};
    }
    long_path.resize(written);
    return long_path;
}

// A path as an entry names it (entry_name's form) in one spelling: "\\?\"
// and the long name of every component, an 8.3 short name resolved, so
// that two spellings of one path compare equal. A last component that does
// not exist (or no longer) is kept as it is written, after its folder's
// long form; a path whose folder cannot be resolved either stays as it is.
std::wstring long_form(const std::wstring& name) {
    const std::wstring path = L"\\\\?\\" + name;
    std::wstring resolved = long_path_of(path);
    if (!resolved.empty()) {
        return resolved;
    }
    const std::size_t separator = path.find_last_of(L'\\');
    const std::wstring folder = long_path_of(path.substr(0, separator));
    return folder.empty() ? path : folder + path.substr(separator);
}

// The file that a path names, itself (a link at the name is not followed):
// its volume and index, and whether that is its only name.
struct NamedFile {
    bool known = false;
    bool only_name = false;
    kivcommon::FileIdentity identity;
};

NamedFile file_named(const std::wstring& name) {
    NamedFile named;
    const std::wstring path = L"\\\\?\\" + name;
    HANDLE handle = ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return named;
    }
    BY_HANDLE_FILE_INFORMATION information;
    if (::GetFileInformationByHandle(handle, &information)) {
        named.known = true;
        named.only_name = information.nNumberOfLinks == 1;
        named.identity = {information.dwVolumeSerialNumber,
                          (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) |
                              information.nFileIndexLow};
    }
    ::CloseHandle(handle);
    return named;
}

// Tells whether a restart entry names the target, however it is spelled:
// the same text in another case, a "\??\" or "\\?\" prefix or none, 8.3
// short names for some components, or any other path that reaches the
// target's file itself while that file has no other name (a deletion of
// another hard link of it would not undo the install).
class TargetNames {
public:
    explicit TargetNames(const std::wstring& target)
        : name_(target), long_form_(long_form(target)), file_(file_named(target)) {}

    bool named_by(const std::wstring& entry) const {
        const std::wstring name = entry_name(entry);
        if (same_name(name, name_) || same_name(long_form(name), long_form_)) {
            return true;
        }
        if (!file_.known || !file_.only_name) {
            return false;
        }
        const NamedFile file = file_named(name);
        return file.known && file.identity.volume == file_.identity.volume &&
               file.identity.index == file_.identity.index;
    }

private:
    std::wstring name_;
    std::wstring long_form_;
    NamedFile file_;
};

// The strings of a REG_MULTI_SZ value, the empty ones that stand for "no
// target" included: the value's length, not its first empty string, ends
// it. The terminating empty string is not one of them.
std::vector<std::wstring> strings_of(const std::vector<wchar_t>& value) {
    std::vector<std::wstring> strings;
    std::size_t at = 0;
    while (at < value.size()) {
        std::size_t end = at;
        while (end < value.size() && value[end] != L'\0') {
            ++end;
        }
        strings.emplace_back(value.begin() + static_cast<std::ptrdiff_t>(at),
                             value.begin() + static_cast<std::ptrdiff_t>(end));
        at = end + 1;
    }
    if (strings.size() % 2 == 1 && strings.back().empty()) {
        strings.pop_back();
    }
    return strings;
}

std::optional<std::vector<wchar_t>> read_value(HKEY key, const wchar_t* name) {
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD type = 0;
        DWORD size = 0;
        if (::RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
            type != REG_MULTI_SZ) {
            return std::nullopt;
        }
        std::vector<wchar_t> value(size / sizeof(wchar_t) + 1, L'\0');
        DWORD got = size;
        const LSTATUS read = ::RegQueryValueExW(key, name, nullptr, &type,
                                                reinterpret_cast<BYTE*>(value.data()), &got);
        if (read == ERROR_MORE_DATA) {
            continue;  // it grew between the two reads
        }
        if (read != ERROR_SUCCESS || type != REG_MULTI_SZ) {
            return std::nullopt;
        }
        value.resize(got / sizeof(wchar_t));
        return value;
    }
    return std::nullopt;
}

// The value without the pairs that would undo an install at `target`, and
// the staged files of ours that the dropped renames onto it would have
// moved (which nothing will move now); nullopt if no pair names it.
struct Filtered {
    std::vector<wchar_t> value;
    std::size_t pairs = 0;
    std::vector<std::wstring> orphans;
};

// A staged file of ours is told by its long form, which starts with the
// long form of the staged files' common prefix (the folder's long path and
// ".NAME.kiv-new-").
std::optional<Filtered> without_stale_entries(const std::vector<wchar_t>& value,
                                              const TargetNames& target,
                                              const std::wstring& staged_prefix) {
    const std::vector<std::wstring> strings = strings_of(value);
    Filtered filtered;
    bool dropped = false;
    for (std::size_t at = 0; at + 1 < strings.size(); at += 2) {
        const std::wstring& from = strings[at];
        const std::wstring& to = strings[at + 1];
        const bool from_target = target.named_by(from);
        const bool onto_target = !to.empty() && target.named_by(to);
        if (from_target || onto_target) {
            dropped = true;
            const std::wstring moved = long_form(entry_name(from));
            if (onto_target && moved.size() > staged_prefix.size() &&
                same_name(moved.substr(0, staged_prefix.size()), staged_prefix)) {
                filtered.orphans.push_back(moved);
            }
            continue;
        }
        for (const std::wstring* text : {&from, &to}) {
            filtered.value.insert(filtered.value.end(), text->begin(), text->end());
            filtered.value.push_back(L'\0');
        }
        ++filtered.pairs;
    }
    if (!dropped) {
        return std::nullopt;
    }
    filtered.value.push_back(L'\0');
    return filtered;
}

// Reads the value, takes out the stale pairs, and writes it back only if
// it is still what was read (another installer, or Windows Update, may
// have added to it meanwhile: then the new value is filtered instead).
void drop_stale_entries_of(HKEY key, const wchar_t* name, const TargetNames& target,
                           const std::wstring& staged_prefix) {
    for (int attempt = 0; attempt < 4; ++attempt) {
        const std::optional<std::vector<wchar_t>> value = read_value(key, name);
        if (!value) {
            return;
        }
        const std::optional<Filtered> filtered = without_stale_entries(*value, target, staged_prefix);
        if (!filtered) {
            return;
        }
        if (read_value(key, name) != value) {
            continue;
        }
        const bool written =
            filtered->pairs == 0
                ? ::RegDeleteValueW(key, name) == ERROR_SUCCESS
                : ::RegSetValueExW(key, name, 0, REG_MULTI_SZ,
                                   reinterpret_cast<const BYTE*>(filtered->value.data()),
                                   static_cast<DWORD>(filtered->value.size() *
                                                      sizeof(wchar_t))) == ERROR_SUCCESS;
        if (written) {
            for (const std::wstring& orphan : filtered->orphans) {
                ::DeleteFileW(orphan.c_str());
            }
        }
        return;
    }
}

}  // namespace

DelayedMove delayed_move = &system_delayed_move;

bool queue_replacement_at_restart(const Path& from, const Path& to) {
    return delayed_move(from.c_str(), to.c_str(),
                        MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING) != 0;
}

// The entries are compared in one spelling each (long_form), as the
// system wrote them from the paths given to MoveFileExW.
bool queued_at_restart(const Path& from, const Path& to) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                        0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return false;
    }
    const std::wstring source = long_form(entry_name(from));
    const std::wstring target = long_form(entry_name(to));
    bool queued = false;
    for (const wchar_t* name : {L"PendingFileRenameOperations", L"PendingFileRenameOperations2"}) {
        const std::optional<std::vector<wchar_t>> value = read_value(key, name);
        if (!value) {
            continue;
        }
        const std::vector<std::wstring> strings = strings_of(*value);
        for (std::size_t at = 0; at + 1 < strings.size() && !queued; at += 2) {
            queued = !strings[at + 1].empty() &&
                     same_name(long_form(entry_name(strings[at])), source) &&
                     same_name(long_form(entry_name(strings[at + 1])), target);
        }
    }
    ::RegCloseKey(key);
    return queued;
}

bool queue_deletion_at_restart(const Path& path) {
    return delayed_move(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != 0;
}

// Without the right to write the machine's settings (a caller that is not
// an administrator) the key does not open for writing, and the entries
// stay: such a caller could not have queued them either.
void drop_stale_restart_entries(const Path& target, const Path& staged_prefix) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                        0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
        return;
    }
    const TargetNames names(entry_name(target));
    const std::wstring staged_long_prefix = long_form(entry_name(staged_prefix));
    for (const wchar_t* name : {L"PendingFileRenameOperations", L"PendingFileRenameOperations2"}) {
        drop_stale_entries_of(key, name, names, staged_long_prefix);
    }
    ::RegCloseKey(key);
}

}  // namespace kivfs
