// SPDX-License-Identifier: Zlib
// The library's exports. The paths are taken into the system's own form
// here.
#include "kivcopy.h"

#include <memory>

#include "copy.h"
#include "file_version.h"
#include "install.h"
#include "manifest.h"

#if defined(_WIN32)
#include <optional>
#include <string>

#include "kivcommon/win32_paths.h"
#endif

namespace {

using kivcopy::result_of;

kivcopy::ExistingTarget existing_target(int32_t overwrite) {
    return overwrite != 0 ? kivcopy::ExistingTarget::replace : kivcopy::ExistingTarget::keep;
}

// Reads the version of the file at `path` and stores it where the caller
// asked for it (a null pointer takes nothing).
int32_t version_of(const kivcopy::platform::PathChar* path, uint32_t* high, uint32_t* low) {
    kivcopy::pe::FileVersion version;
    const kivcopy::pe::VersionRead outcome = kivcopy::file_version(path, version);
    if (outcome == kivcopy::pe::VersionRead::found) {
        if (high != nullptr) {
            *high = version.high;
        }
        if (low != nullptr) {
            *low = version.low;
        }
    }
    return kivcopy::version_result_of(outcome);
}

// KivInstallFileEx's worker: the manifest folder opened for the one call.
int32_t install_with_manifest(const kivcopy::platform::PathChar* source,
                              const kivcopy::platform::PathChar* target, int32_t flags,
                              const kivcopy::platform::PathChar* manifest_folder) {
    kivcopy::InstallFlags taken = kivcopy::install_flags(flags);
    std::unique_ptr<kivcopy::Manifest> manifest;
    if (manifest_folder != nullptr) {
        // An empty name would make the current folder the manifest, where
        // an installer most likely meant none: it is refused instead.
        if (*manifest_folder == 0) {
            return KIVCOPY_TARGET_NOT_WRITTEN;
        }
        int error = 0;
        manifest = kivcopy::Manifest::open(manifest_folder, error);
        if (manifest == nullptr) {
            return KIVCOPY_TARGET_NOT_WRITTEN;
        }
        taken.manifest = manifest.get();
    }
    return result_of(kivcopy::install_file(source, target, taken));
}

}  // namespace

#if defined(_WIN32)

namespace {

// Takes both narrow paths into UTF-16 and calls `call` with them (a null
// path stays null). Text that is not valid in the ANSI code page names no
// file: the source is then not opened (10), or the target cannot be
// (-5010), and `call` is not made. Throws where memory runs out.
template <typename Call>
int32_t with_wide_paths(const char* source, const char* target, Call call) {
    std::optional<std::wstring> wide_source;
    std::optional<std::wstring> wide_target;
    if (source != nullptr && !(wide_source = kivcommon::from_ansi(source))) {
        return KIVCOPY_SOURCE_NOT_OPENED;
    }
    if (target != nullptr && !(wide_target = kivcommon::from_ansi(target))) {
        return source == nullptr ? KIVCOPY_SOURCE_NOT_OPENED : KIVCOPY_TARGET_NOT_WRITTEN;
    }
    return call(wide_source ? wide_source->c_str() : nullptr,
                wide_target ? wide_target->c_str() : nullptr);
}

}  // namespace

// The narrow paths are text in the ANSI code page, taken into UTF-16; text
// that is not valid there names no file: the source is then not opened
// (10), or the target cannot be (-5010).
extern "C" KIVCOPY_API int32_t KIVCOPY_CALL KivCopyFile(const char* source, const char* target,
                                                        int32_t overwrite) {
    try {
        return with_wide_paths(source, target, [&](const wchar_t* from, const wchar_t* to) {
            return result_of(kivcopy::copy_file(from, to, existing_target(overwrite)));
        });
    } catch (...) {
        // Only the converted paths take memory; without it no file is touched.
        return KIVCOPY_SOURCE_NOT_OPENED;
    }
}

extern "C" KIVCOPY_API int32_t KIVCOPY_CALL KivCopyFileW(const wchar_t* source,
                                                         const wchar_t* target,
                                                         int32_t overwrite) {
    return result_of(kivcopy::copy_file(source, target, existing_target(overwrite)));
}

// The narrow paths are taken into UTF-16 as KivCopyFile takes them.
extern "C" KIVCOPY_API int32_t KIVCOPY_CALL KivInstallFile(const char* source, const char* target,
                                                           int32_t flags) {
    try {
        return with_wide_paths(source, target, [&](const wchar_t* from, const wchar_t* to) {
            return result_of(kivcopy::install_file(from, to, kivcopy::install_flags(flags)));
        });
    } catch (...) {
        // Out of memory for a path or a registry value: the target is as
        // it was (a staged file made before may stay beside it).
        return KIVCOPY_TARGET_NOT_WRITTEN;
    }
}

extern "C" KIVCOPY_API int32_t KIVCOPY_CALL KivInstallFileW(const wchar_t* source,
                                                            const wchar_t* target,
                                                            int32_t flags) {
    try {
        return result_of(kivcopy::install_file(source, target, kivcopy::install_flags(flags)));
    } catch (...) {
        return KIVCOPY_TARGET_NOT_WRITTEN;
    }
}

// The narrow paths are taken into UTF-16 as KivCopyFile takes them; a
// manifest folder whose name is no text in the ANSI code page cannot be
// opened (-5010).
extern "C" KIVCOPY_API int32_t KIVCOPY_CALL KivInstallFileEx(const char* source, const char* target,
                                                             int32_t flags,
                                                             const char* manifest_folder) {
    try {
        std::optional<std::wstring> wide_manifest;
        if (manifest_folder != nullptr && !(wide_manifest = kivcommon::from_ansi(manifest_folder))) {
            return KIVCOPY_TARGET_NOT_WRITTEN;
        }
        return with_wide_paths(source, target, [&](const wchar_t* from, const wchar_t* to) {
            return install_with_manifest(from, to, flags,
                                         wide_manifest ? wide_manifest->c_str() : nullptr);
        });
    } catch (...) {
        return KIVCOPY_TARGET_NOT_WRITTEN;
    }
}

extern "C" KIVCOPY_API int32_t KIVCOPY_CALL KivInstallFileExW(const wchar_t* source,
                                                              const wchar_t* target, int32_t flags,
                                                              const wchar_t* manifest_folder) {
    try {
        return install_with_manifest(source, target, flags, manifest_folder);
    } catch (...) {
        return KIVCOPY_TARGET_NOT_WRITTEN;
    }
}

// The narrow path is taken into UTF-16 as KivCopyFile takes it; text that
// is not valid in the ANSI code page names no file (10).
extern "C" KIVCOPY_API int32_t KIVCOPY_CALL KivFileVersion(const char* path, uint32_t* high,
                                                           uint32_t* low) {
    try {
        return with_wide_paths(path, nullptr, [&](const wchar_t* wide, const wchar_t*) {
            return version_of(wide, high, low);
        });
    } catch (...) {
        return KIVCOPY_SOURCE_NOT_OPENED;
    }
}

extern "C" KIVCOPY_API int32_t KIVCOPY_CALL KivFileVersionW(const wchar_t* path, uint32_t* high,
                                                            uint32_t* low) {
    return version_of(path, high, low);
}

#else

extern "C" KIVCOPY_API int32_t KIVCOPY_CALL KivInstallFileEx(const char* source, const char* target,
                                                             int32_t flags,
                                                             const char* manifest_folder) {
    try {
        return install_with_manifest(source, target, flags, manifest_folder);
    } catch (...) {
        return KIVCOPY_TARGET_NOT_WRITTEN;
    }
}

extern "C" KIVCOPY_API int32_t KIVCOPY_CALL KivInstallFile(const char* source, const char* target,
                                                           int32_t flags) {
    try {
        return result_of(kivcopy::install_file(source, target, kivcopy::install_flags(flags)));
    } catch (...) {
        return KIVCOPY_TARGET_NOT_WRITTEN;
    }
}

extern "C" KIVCOPY_API int32_t KIVCOPY_CALL KivCopyFile(const char* source, const char* target,
                                                        int32_t overwrite) {
    return result_of(kivcopy::copy_file(source, target, existing_target(overwrite)));
}

extern "C" KIVCOPY_API int32_t KIVCOPY_CALL KivFileVersion(const char* path, uint32_t* high,
                                                           uint32_t* low) {
    return version_of(path, high, low);
}

#endif
