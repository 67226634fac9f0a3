// SPDX-License-Identifier: Zlib
// The decision table, and the little that turns two files into its input.
#include "by_version.h"

namespace kivcopy {

namespace {
constexpr std::optional<bool> any_flag{};
constexpr std::optional<Versions> any_versions{};
constexpr std::optional<Ownership> any_owner{};
}  // namespace

// Identical bytes come first: whatever the versions say, nothing needs
// writing. A file the product installed (ours) may always be replaced by
// the product's next one of the same version: that is a rebuild. Where the
// new file has no version and the target has one, the target is kept as a
// newer one would be, unless it is ours or a downgrade is allowed. Times
// have no row. Two unversioned files hang on the manifest alone: one that
// is not what the product installed there last is the user's, and stays.
const std::array<DecisionRow, 13> decision_table = {{
    {true, any_versions, any_owner, any_flag, any_flag, Verdict::already_current,
     "the same bytes are installed"},
    {false, Versions::newer, any_owner, any_flag, any_flag, Verdict::replace,
     "the new version is higher"},
    {false, Versions::older, any_owner, true, any_flag, Verdict::replace,
     "a lower version, and downgrades are allowed"},
    {false, Versions::older, any_owner, false, any_flag, Verdict::kept_newer,
     "the installed version is higher"},
    {false, Versions::same, Ownership::ours, any_flag, any_flag, Verdict::replace,
     "the same version, and the installed file is ours"},
    {false, Versions::same, any_owner, any_flag, true, Verdict::replace,
     "the same version, and same-version replacement is asked for"},
    {false, Versions::same, any_owner, any_flag, false, Verdict::kept_same_version,
     "the same version, other bytes, and the installed file is not ours"},
    {false, Versions::only_new, any_owner, any_flag, any_flag, Verdict::replace,
     "a versioned file replaces an unversioned one"},
    {false, Versions::only_target, Ownership::ours, any_flag, any_flag, Verdict::replace,
     "the installed file is ours"},
    {false, Versions::only_target, any_owner, true, any_flag, Verdict::replace,
     "the new file has no version, and downgrades are allowed"},
    {false, Versions::only_target, any_owner, false, any_flag, Verdict::kept_newer,
     "the installed file has a version and the new one none"},
    {false, Versions::neither, Ownership::not_ours, any_flag, any_flag, Verdict::kept_changed,
     "neither has a version, and the installed file is not what was installed there last"},
    {false, Versions::neither, any_owner, any_flag, any_flag, Verdict::replace,
     "neither has a version"},
}};

namespace {

template <typename T>
bool fits(const std::optional<T>& wanted, const T& value) {
    return !wanted || *wanted == value;
}

}  // namespace

const DecisionRow& decide(const DecisionInput& input) {
    for (const DecisionRow& row : decision_table) {
        if (fits(row.identical, input.identical) && fits(row.versions, input.versions) &&
            fits(row.ownership, input.ownership) &&
            fits(row.allow_downgrade, input.allow_downgrade) &&
            fits(row.replace_same_version, input.replace_same_version)) {
            return row;
        }
    }
    return decision_table.back();
}

Versions compare_versions(const std::optional<pe::FileVersion>& incoming,
                          const std::optional<pe::FileVersion>& installed) {
    if (!incoming) {
        return installed ? Versions::only_target : Versions::neither;
    }
    if (!installed) {
        return Versions::only_new;
    }
    const auto key = [](const pe::FileVersion& v) {
        return (std::uint64_t{v.high} << 32) | v.low;
    };
    if (key(*incoming) == key(*installed)) {
        return Versions::same;
    }
    return key(*incoming) > key(*installed) ? Versions::newer : Versions::older;
}

std::string version_text(const pe::FileVersion& version) {
    return std::to_string(version.high >> 16) + "." + std::to_string(version.high & 0xFFFF) +
           "." + std::to_string(version.low >> 16) + "." + std::to_string(version.low & 0xFFFF);
}

std::string reason_kept(Verdict verdict, const std::optional<pe::FileVersion>& incoming,
                        const std::optional<pe::FileVersion>& installed) {
    const std::string have = installed ? version_text(*installed) + " installed" : "";
    switch (verdict) {
        case Verdict::replace:
            break;
        case Verdict::already_current:
            return "the same bytes are installed";
        case Verdict::kept_newer:
            return incoming ? have + " is newer than " + version_text(*incoming)
                            : have + ", and the new file has no version";
        case Verdict::kept_same_version:
            return have + " is the same version with other bytes, and not ours";
        case Verdict::kept_changed:
            return "it is not what was installed there last (changed, or another's)";
    }
    return "replaced";
}

namespace {

const char* shown(const std::optional<bool>& wanted, const char* yes, const char* no) {
    return !wanted ? "any" : *wanted ? yes : no;
}

const char* shown(const std::optional<Versions>& wanted) {
    if (!wanted) {
        return "any";
    }
    switch (*wanted) {
        case Versions::newer:
            return "new is higher";
        case Versions::older:
            return "new is lower";
        case Versions::same:
            return "equal";
        case Versions::only_new:
            return "new only";
        case Versions::only_target:
            return "installed only";
        case Versions::neither:
            break;
    }
    return "neither";
}

const char* shown(const std::optional<Ownership>& wanted) {
    if (!wanted) {
        return "any";
    }
    switch (*wanted) {
        case Ownership::ours:
            return "ours";
        case Ownership::not_ours:
            return "not ours";
        case Ownership::no_manifest:
            break;
    }
    return "no manifest";
}

const char* shown(Verdict verdict) {
    switch (verdict) {
        case Verdict::replace:
            return "0 replaced";
        case Verdict::already_current:
            return "2 KIVINSTALL_ALREADY_CURRENT";
        case Verdict::kept_newer:
            return "3 KIVINSTALL_KEPT_NEWER";
        case Verdict::kept_same_version:
            return "4 KIVINSTALL_KEPT_SAME_VERSION";
        case Verdict::kept_changed:
            break;
    }
    return "5 KIVINSTALL_KEPT_CHANGED";
}

}  // namespace

std::string decision_table_markdown() {
    std::string table =
        "| # | bytes | versions | installed file (manifest) | ALLOW_DOWNGRADE | "
        "REPLACE_SAME_VERSION | result | why |\n"
        "|---|---|---|---|---|---|---|---|\n";
    int number = 0;
    for (const DecisionRow& row : decision_table) {
        table += "| " + std::to_string(++number) + " | " + shown(row.identical, "same", "differ") +
                 " | " + shown(row.versions) + " | " + shown(row.ownership) + " | " +
                 shown(row.allow_downgrade, "yes", "no") + " | " +
                 shown(row.replace_same_version, "yes", "no") + " | " + shown(row.verdict) +
                 " | " + row.why + " |\n";
    }
    return table;
}

}  // namespace kivcopy
