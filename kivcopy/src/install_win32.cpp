// SPDX-License-Identifier: Zlib
// Win32 services for KivInstallFile: the new file renamed onto the target
// (MoveFileExW), a target in use renamed aside first, a replacement queued
// for the next restart, and the restart entries of earlier runs that would
// undo an install taken out of PendingFileRenameOperations (and its
// successor PendingFileRenameOperations2), every other entry left as it
// was. The registry is ADVAPI32's, which the DLL links: a system DLL that
// Windows always loads from its own folder (a known DLL), never from the
// installer's temporary folder beside ours.
#include "install_platform.h"
#include "kivfs/hidden_names.h"
#include "kivfs/wtf8.h"

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "kivcommon/win32_paths.h"

namespace kivcopy::platform {
namespace {

int system_delayed_move(const wchar_t* from, const wchar_t* to, unsigned long flags) {
    return ::MoveFileExW(from, to, flags);
}

// The errors of a rename onto, or of, a file that another program holds:
// a running program or a loaded DLL (access denied), a file held open
// without delete sharing (a sharing violation).
bool in_use(DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
           error == ERROR_USER_MAPPED_FILE || error == ERROR_LOCK_VIOLATION;
}

bool name_taken(DWORD error) {
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS;
}

// How many hidden names a rename aside tries before it gives up.
constexpr int attempts_at_an_aside_name = 16;

// Renames the target in use aside and the staged file onto its name. The
// aside name says how far this got: ".NAME.kiv-was-" while the target's
// name is empty, ".NAME.kiv-old-" once the new file holds it, so that a
// call killed between the two renames leaves the one file that a later
// call in the folder puts back (settle_asides). The old file's deletion is
// queued for the next restart; where the system refuses that, the aside
// name itself is the memory. If the staged file cannot take the name, the
// old file is put back, or deleted where another file took the name.
Placing put_in_place_beside_use(Directory& folder, const Path& staged_path,
                                const Path& target_path, int& error) {
    Path aside_path;
    bool aside = false;
    for (int attempt = 0; attempt < attempts_at_an_aside_name && !aside; ++attempt) {
        Path storage;
        aside_path =
            place(folder, kivfs::hidden_name_for(folder.entry_name(), "was"), storage).name;
        aside = ::MoveFileExW(target_path.c_str(), aside_path.c_str(), 0) != 0;
        if (!aside && !name_taken(::GetLastError())) {
            break;
        }
    }
    if (!aside) {
        error = static_cast<int>(::GetLastError());
        return in_use(static_cast<DWORD>(error)) ? Placing::in_use : Placing::failed;
    }
    if (!::MoveFileExW(staged_path.c_str(), target_path.c_str(), 0)) {
        error = static_cast<int>(::GetLastError());
        // Where another call's file took the name meanwhile, the old file
        // is superseded: it goes, as settle_asides would find it.
        if (!::MoveFileExW(aside_path.c_str(), target_path.c_str(), 0) &&
            name_taken(::GetLastError())) {
            ::DeleteFileW(aside_path.c_str());
        }
        return Placing::failed;
    }
    Path storage;
    const Path old_path =
        place(folder, kivfs::hidden_name_for(folder.entry_name(), "old"), storage).name;
    if (::MoveFileExW(aside_path.c_str(), old_path.c_str(), 0)) {
        aside_path = old_path;
    }
    if (!::DeleteFileW(aside_path.c_str())) {
        delayed_move(aside_path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    }
    return Placing::placed;
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
    FileIdentity identity;
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

// The folder is held by its path as open_for resolved it, which ends in
// its separator: a name in it is that path and the name.
Place place(Directory& folder, const Path& name, Path& storage) {
    storage = kivfs::wide_from_wtf8(folder.name()) + name;
    return {nullptr, storage.c_str()};
}

// The identity is read through a handle that asks for the attributes
// alone, which opens even a file that another program holds without
// sharing.
TargetStatus look_at_target(Place target) {
    TargetStatus look;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(target.name, GetFileExInfoStandard, &data)) {
        const DWORD error = ::GetLastError();
        look.kind = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                        ? TargetStatus::Kind::absent
                        : TargetStatus::Kind::failed;
        return look;
    }
    look.attributes = data.dwFileAttributes;
    if ((data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
        look.kind = TargetStatus::Kind::other;
        return look;
    }
    look.kind = TargetStatus::Kind::regular;
    HANDLE handle = ::CreateFileW(target.name, FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    BY_HANDLE_FILE_INFORMATION information;
    if (handle != INVALID_HANDLE_VALUE) {
        if (::GetFileInformationByHandle(handle, &information)) {
            look.identity = {information.dwVolumeSerialNumber,
                             (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) |
                                 information.nFileIndexLow};
        }
        ::CloseHandle(handle);
    }
    return look;
}

// KivCopyFile refuses a read-only target; an install does too, unless the
// caller allows it (KIVINSTALL_READ_ONLY).
bool refuses_replacement(const TargetStatus& target) {
    return (target.attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

namespace {

bool read_only(const TargetStatus& target) {
    return target.kind == TargetStatus::Kind::regular &&
           (target.attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

// Sets or clears the read-only attribute of the file at `path`, but only if
// that is still the file `target` looked at: the attribute is read and set
// through a handle that asks for the attributes alone (which opens even a
// file that another program holds without sharing), and the handle's file
// is compared with the look's before anything is set.
bool set_read_only_of(const Path& path, const TargetStatus& target, bool on) {
    HANDLE handle = ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION information;
    bool set = false;
    if (::GetFileInformationByHandle(handle, &information) &&
        information.dwVolumeSerialNumber == target.identity.volume &&
        ((static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) |
         information.nFileIndexLow) == target.identity.index) {
        FILE_BASIC_INFO basic{};
        basic.FileAttributes = on ? information.dwFileAttributes | FILE_ATTRIBUTE_READONLY
                                  : information.dwFileAttributes & ~DWORD{FILE_ATTRIBUTE_READONLY};
        if (basic.FileAttributes == 0) {
            basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        }
        set = ::SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic) != 0;
    }
    ::CloseHandle(handle);
    return set;
}

}  // namespace

// The attribute goes on after the data are written and synced: the handle
// was opened for writing before, so the times are still set through it,
// and the file holds the attribute when it takes the name.
bool take_read_only_of(File& staged, const TargetStatus& replaced) {
    if (!read_only(replaced)) {
        return true;
    }
    FILE_BASIC_INFO basic{};
    if (!::GetFileInformationByHandleEx(staged.handle(), FileBasicInfo, &basic, sizeof basic)) {
        return false;
    }
    FILE_BASIC_INFO changed{};
    changed.FileAttributes = basic.FileAttributes | FILE_ATTRIBUTE_READONLY;
    return ::SetFileInformationByHandle(staged.handle(), FileBasicInfo, &changed,
                                        sizeof changed) != 0;
}

// MoveFileExW refuses to replace a read-only file, and a read-only file
// renamed aside could not be deleted: the attribute comes off just before
// the rename. The handle is closed again before it, since a file held open
// cannot be replaced.
bool lift_read_only(Directory& folder, const TargetStatus& target) {
    if (!read_only(target)) {
        return true;
    }
    Path target_path;
    place(folder, folder.entry_name(), target_path);
    return set_read_only_of(target_path, target, false);
}

// The old file is back at the target's name wherever an install fails (a
// file renamed aside is renamed back first).
void restore_read_only(Directory& folder, const TargetStatus& target) {
    if (!read_only(target)) {
        return;
    }
    Path target_path;
    place(folder, folder.entry_name(), target_path);
    set_read_only_of(target_path, target, true);
}

bool take_status_of(File& staged, const TargetStatus& replaced) {
    constexpr DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                           FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = replaced.attributes & kept;
    if (basic.FileAttributes == 0) {
        basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    }
    return ::SetFileInformationByHandle(staged.handle(), FileBasicInfo, &basic, sizeof basic) != 0;
}

bool make_durable(File& staged) {
    return ::FlushFileBuffers(staged.handle()) != 0;
}

Placing put_in_place(Directory& folder, const Path& staged, bool replace, int& error) {
    Path staged_path;
    Path target_path;
    place(folder, staged, staged_path);
    place(folder, folder.entry_name(), target_path);
    if (::MoveFileExW(staged_path.c_str(), target_path.c_str(),
                      replace ? MOVEFILE_REPLACE_EXISTING : 0)) {
        return Placing::placed;
    }
    const DWORD failure = ::GetLastError();
    error = static_cast<int>(failure);
    if (!replace) {
        return name_taken(failure) ? Placing::name_taken : Placing::failed;
    }
    if (!in_use(failure)) {
        return Placing::failed;
    }
    return put_in_place_beside_use(folder, staged_path, target_path, error);
}

FileIdentity identity_of_staged(File&) {
    return {};
}

bool target_holds(Directory&, const FileIdentity&, int& error) {
    error = 0;
    return true;
}

bool queue_replacement_at_restart(Directory& folder, const Path& staged) {
    Path staged_path;
    Path target_path;
    place(folder, staged, staged_path);
    place(folder, folder.entry_name(), target_path);
    return delayed_move(staged_path.c_str(), target_path.c_str(),
                        MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING) != 0;
}

// Without the right to write the machine's settings (a caller that is not
// an administrator) the key does not open for writing, and the entries
// stay: such a caller could not have queued them either.
void drop_stale_restart_entries(Directory& folder) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                        0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
        return;
    }
    Path target_path;
    place(folder, folder.entry_name(), target_path);
    Path staged_prefix;
    place(folder, kivfs::hidden_stem_for(folder.entry_name(), "new"), staged_prefix);
    const TargetNames target(entry_name(target_path));
    const std::wstring staged_long_prefix = long_form(entry_name(staged_prefix));
    for (const wchar_t* name : {L"PendingFileRenameOperations", L"PendingFileRenameOperations2"}) {
        drop_stale_entries_of(key, name, target, staged_long_prefix);
    }
    ::RegCloseKey(key);
}

namespace {

// The name of the target that an aside file of the folder was renamed
// from: ".NAME.kiv-KIND-" and 16 hex digits; empty for any other name.
// The NAME of a long target's aside file is cut, and ends in "." (see
// hidden_name_for).
std::wstring target_of_aside(const std::wstring& aside, const wchar_t* kind) {
    const std::wstring infix = std::wstring(L".kiv-") + kind + L"-";
    constexpr std::size_t digits = 16;
    if (aside.size() < 1 + infix.size() + digits + 1 || aside.front() != L'.') {
        return {};
    }
    const std::size_t name_end = aside.size() - digits - infix.size();
    if (aside.compare(name_end, infix.size(), infix) != 0) {
        return {};
    }
    return aside.substr(1, name_end - 1);
}

// Calls fn with the name of each file in the folder whose name is
// ".NAME.kiv-KIND-…" and with NAME.
template <typename Fn>
void for_each_aside(Directory& folder, const wchar_t* kind, Fn fn) {
    Path pattern;
    place(folder, std::wstring(L".*.kiv-") + kind + L"-*", pattern);
    WIN32_FIND_DATAW found;
    HANDLE search = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found,
                                       FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        const std::wstring target = target_of_aside(found.cFileName, kind);
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && !target.empty()) {
            fn(std::wstring(found.cFileName), target);
        }
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
}

}  // namespace

// An old file whose replacement is in place is deleted where no program
// holds it any more; one still held stays for a later call, or for its
// queued deletion. A file renamed aside by a call that ended before the
// new file took the name is put back where the name is still empty (never
// over anything that took it since), else deleted as an old file. One
// whose NAME was cut cannot tell its target's whole name: it stays where
// it is, neither put back at a name it may not belong to (the system
// would even drop the marking "." and take the cut name for the whole)
// nor deleted, as it may be the only copy of the old file.
void settle_asides(Directory& folder) {
    for_each_aside(folder, L"old", [&](const std::wstring& aside, const std::wstring&) {
        Path old;
        place(folder, aside, old);
        ::DeleteFileW(old.c_str());
    });
    for_each_aside(folder, L"was", [&](const std::wstring& aside, const std::wstring& target) {
        if (target.back() == L'.') {
            return;
        }
        Path from;
        Path to;
        place(folder, aside, from);
        place(folder, target, to);
        if (!::MoveFileExW(from.c_str(), to.c_str(), 0) &&
            ::GetFileAttributesW(to.c_str()) != INVALID_FILE_ATTRIBUTES) {
            ::DeleteFileW(from.c_str());
        }
    });
}

// A staged file given the read-only attribute refuses deletion by name: it
// is opened, its attribute taken off and marked for deletion through the
// one handle, so that nothing that took its name meanwhile is touched.
void remove_staged(Directory& folder, const Path& staged) {
    Path path;
    place(folder, staged, path);
    HANDLE handle = ::CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        ::DeleteFileW(path.c_str());
        return;
    }
    FILE_BASIC_INFO basic{};
    if (::GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic) &&
        (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
        FILE_BASIC_INFO changed{};
        changed.FileAttributes = basic.FileAttributes & ~DWORD{FILE_ATTRIBUTE_READONLY};
        if (changed.FileAttributes == 0) {
            changed.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        }
        ::SetFileInformationByHandle(handle, FileBasicInfo, &changed, sizeof changed);
    }
    FILE_DISPOSITION_INFO disposition{TRUE};
    ::SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition);
    ::CloseHandle(handle);
}

}  // namespace kivcopy::platform
