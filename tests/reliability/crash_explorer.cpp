// SPDX-License-Identifier: Zlib
#include "crash_explorer.h"

#include <algorithm>
#include <functional>
#include <map>
#include <random>
#include <unordered_set>
#include <utility>

#include "content_check.h"
#include "crash_model.h"

namespace kivcrash {
namespace {

// The examples kept for the report.
constexpr std::size_t most_examples = 3;

// One crash state: for each file with pending units, which persisted; for
// each directory with pending operations, how many (a prefix).
struct CrashState {
    std::vector<std::vector<bool>> persisted;
    std::vector<std::size_t> prefixes;

    std::string signature() const {
        std::string text;
        for (const std::vector<bool>& flags : persisted) {
            for (bool flag : flags) {
                text += flag ? '1' : '0';
            }
            text += '|';
        }
        for (std::size_t prefix : prefixes) {
            text += std::to_string(prefix) + '|';
        }
        return text;
    }
};

// A pending unit or entry operation, as the sampled states see them: all of
// them in the order they were made.
struct Atom {
    bool in_directory;
    std::size_t group;  // the file's or the directory's place in CrashState
    std::size_t index;  // its place among that file's units or directory's operations
    std::size_t sequence;
};

std::string text_of(const InodeId& inode) {
    return std::to_string(inode.volume) + ":" + std::to_string(inode.index);
}

bool starts_with(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// The crash states at one point of the log, and the promise judged in each.
class Point {
public:
    Point(const Model& model, const Promise& promise);

    using Visit = std::function<void(const CrashState&)>;

    // The number of crash states, or `cap` + 1 if there are more.
    std::uint64_t count(std::uint64_t cap) const;
    // Hands every one of the `count` crash states to `visit`.
    void each_state(std::uint64_t count, const Visit& visit) const;
    // Hands the bounded set to `visit`, each state once: every prefix in
    // the order the changes were made, every state with all changes but
    // one, every state with only one, and `random` random ones.
    void each_sampled(std::size_t random, std::uint64_t seed, const Visit& visit) const;
    // Whether the promise holds; if not, `why` says for which file. After
    // the call returned done (`returned`), only the new content will do.
    bool keeps_promise(const CrashState& state, bool returned, std::string& why) const;
    std::string describe(const CrashState& state) const;
    // The entries and file images that `state` leaves.
    LeftOnDisk left_on_disk(const Model& model, const CrashState& state) const;

private:
    struct Directory {
        InodeId inode;
        int group = -1;                 // -1: nothing pending
        std::vector<Entries> snapshots; // the entries after each prefix
    };

    // One flag for each of atoms_: whether that change persisted.
    using Mask = std::vector<bool>;
    using Offer = std::function<void(const Mask&)>;

    void collect_files(const Model& model);
    void collect_directories(const Model& model);
    void prepare_checks(const Model& model);
    CrashState decode(std::uint64_t index) const;
    void offer_prefixes(const Offer& offer) const;
    void offer_one_in_or_out(const Offer& offer) const;
    void offer_random(const Offer& offer, std::size_t count, std::uint64_t seed) const;
    CrashState state_from(const Mask& mask) const;
    const Entries& entries(const Directory& directory, const CrashState& state) const;
    bool holds(const InodeId& inode, const std::string& content, const CrashState& state) const;
    bool is_recoverable(const WatchedFile& file, const CrashState& state) const;
    void prepare_check(const Model& model, const InodeId& inode, const std::string& content);

    const Promise& promise_;
    std::vector<InodeId> files_;  // with pending units
    std::map<InodeId, std::size_t> file_groups_;
    std::vector<std::size_t> unit_counts_;
    std::vector<Directory> directories_;
    std::vector<std::size_t> directory_groups_;  // directories_ index of each group
    std::vector<Atom> atoms_;
    std::map<std::pair<InodeId, const std::string*>, ContentCheck> checks_;
};

Point::Point(const Model& model, const Promise& promise) : promise_(promise) {
    collect_files(model);
    collect_directories(model);
    std::sort(atoms_.begin(), atoms_.end(),
              [](const Atom& a, const Atom& b) { return a.sequence < b.sequence; });
    prepare_checks(model);
}

void Point::collect_files(const Model& model) {
    for (const auto& [inode, file] : model.files()) {
        if (file.pending.empty()) {
            continue;
        }
        file_groups_[inode] = files_.size();
        for (std::size_t i = 0; i < file.pending.size(); ++i) {
            atoms_.push_back({false, files_.size(), i, file.pending[i].sequence});
        }
        files_.push_back(inode);
        unit_counts_.push_back(file.pending.size());
    }
}

void Point::collect_directories(const Model& model) {
    for (const auto& [inode, state] : model.directories()) {
        Directory directory{inode, -1, {state.durable}};
        if (!state.pending.empty()) {
            directory.group = static_cast<int>(directory_groups_.size());
            directory_groups_.push_back(directories_.size());
        }
        for (std::size_t i = 0; i < state.pending.size(); ++i) {
            directory.snapshots.push_back(directory.snapshots.back());
            apply(directory.snapshots.back(), state.pending[i]);
            atoms_.push_back(
                {true, static_cast<std::size_t>(directory.group), i, state.pending[i].sequence});
        }
        directories_.push_back(std::move(directory));
    }
}

// Every inode that a watched name or a temporary name may stand for in a
// crash state is checked against the contents it may have to hold.
void Point::prepare_checks(const Model& model) {
    for (const Directory& directory : directories_) {
        for (const Entries& entries : directory.snapshots) {
            for (const auto& [name, inode] : entries) {
                for (const WatchedFile& file : promise_.files) {
                    if (directory.inode == file.directory && name == file.name) {
                        prepare_check(model, inode, file.old_content);
                        prepare_check(model, inode, file.new_content);
                    }
                    if (starts_with(name, promise_.temporary_prefix)) {
                        prepare_check(model, inode, file.new_content);
                    }
                }
            }
        }
    }
}

void Point::prepare_check(const Model& model, const InodeId& inode, const std::string& content) {
    static const FileState empty;
    const auto key = std::make_pair(inode, &content);
    if (checks_.count(key) == 0) {
        auto found = model.files().find(inode);
        checks_.emplace(
            key, ContentCheck(found != model.files().end() ? found->second : empty, content));
    }
}

std::uint64_t Point::count(std::uint64_t cap) const {
    std::uint64_t total = 1;
    const auto times = [&](std::uint64_t factor) {
        total = total > cap / factor ? cap + 1 : std::min(total * factor, cap + 1);
    };
    for (std::size_t units : unit_counts_) {
        for (std::size_t i = 0; i < units && total <= cap; ++i) {
            times(2);
        }
    }
    for (std::size_t group : directory_groups_) {
        times(directories_[group].snapshots.size());
    }
    return total;
}

CrashState Point::decode(std::uint64_t index) const {
    CrashState state;
    for (std::size_t units : unit_counts_) {
        std::vector<bool> flags(units);
        for (std::size_t i = 0; i < units; ++i, index >>= 1) {
            flags[i] = (index & 1) != 0;
        }
        state.persisted.push_back(std::move(flags));
    }
    for (std::size_t group : directory_groups_) {
        const std::uint64_t choices = directories_[group].snapshots.size();
        state.prefixes.push_back(static_cast<std::size_t>(index % choices));
        index /= choices;
    }
    return state;
}

// A file's unit persists if its atom is in `mask`; a directory keeps the
// longest prefix of its operations that are all in `mask`.
CrashState Point::state_from(const Mask& mask) const {
    CrashState state;
    for (std::size_t units : unit_counts_) {
        state.persisted.emplace_back(units, false);
    }
    state.prefixes.assign(directory_groups_.size(), 0);
    for (std::size_t a = 0; a < atoms_.size(); ++a) {
        const Atom& atom = atoms_[a];
        if (!atom.in_directory) {
            state.persisted[atom.group][atom.index] = mask[a];
        } else if (mask[a] && state.prefixes[atom.group] == atom.index) {
            ++state.prefixes[atom.group];
        }
    }
    return state;
}

void Point::each_state(std::uint64_t count, const Visit& visit) const {
    for (std::uint64_t index = 0; index < count; ++index) {
        visit(decode(index));
    }
}

// The first t changes in the order they were made, for every t.
void Point::offer_prefixes(const Offer& offer) const {
    const std::size_t n = atoms_.size();
    for (std::size_t t = 0; t <= n; ++t) {
        Mask mask(n, false);
        std::fill(mask.begin(), mask.begin() + static_cast<std::ptrdiff_t>(t), true);
        offer(mask);
    }
}

// All changes but one, and only one, for every change; only one in a
// directory takes the operations before it along, as a prefix must.
void Point::offer_one_in_or_out(const Offer& offer) const {
    const std::size_t n = atoms_.size();
    for (std::size_t a = 0; a < n; ++a) {
        Mask all_but(n, true);
        all_but[a] = false;
        offer(all_but);
        Mask only(n, false);
        for (std::size_t b = 0; b <= a; ++b) {
            only[b] = b == a || (atoms_[a].in_directory && atoms_[b].in_directory &&
                                 atoms_[b].group == atoms_[a].group);
        }
        offer(only);
    }
}

// Each unit persists with even odds; each directory keeps a prefix of a
// length drawn evenly. The generator's raw output is used, which is the
// same on every platform for a given seed.
void Point::offer_random(const Offer& offer, std::size_t count, std::uint64_t seed) const {
    std::mt19937_64 generator(seed);
    for (std::size_t r = 0; r < count; ++r) {
        std::vector<std::uint64_t> prefixes;
        for (std::size_t group : directory_groups_) {
            prefixes.push_back(generator() % directories_[group].snapshots.size());
        }
        Mask mask(atoms_.size());
        for (std::size_t a = 0; a < atoms_.size(); ++a) {
            mask[a] = atoms_[a].in_directory ? atoms_[a].index < prefixes[atoms_[a].group]
                                             : (generator() & 1) != 0;
        }
        offer(mask);
    }
}

// States are told apart by a hash of their signature, so that the set of
// those seen stays small for files of many units; two states that share a
// hash (odds of about 2^-64 a pair) would count as one.
void Point::each_sampled(std::size_t random, std::uint64_t seed, const Visit& visit) const {
    std::unordered_set<std::size_t> seen;
    const Offer offer = [&](const Mask& mask) {
        CrashState state = state_from(mask);
        if (seen.insert(std::hash<std::string>{}(state.signature())).second) {
            visit(state);
        }
    };
    offer_prefixes(offer);
    offer_one_in_or_out(offer);
    offer_random(offer, random, seed);
}

const Entries& Point::entries(const Directory& directory, const CrashState& state) const {
    const std::size_t prefix =
        directory.group < 0 ? 0 : state.prefixes[static_cast<std::size_t>(directory.group)];
    return directory.snapshots[prefix];
}

bool Point::holds(const InodeId& inode, const std::string& content, const CrashState& state) const {
    static const std::vector<bool> nothing_pending;
    auto group = file_groups_.find(inode);
    const std::vector<bool>& persisted =
        group == file_groups_.end() ? nothing_pending : state.persisted[group->second];
    return checks_.at({inode, &content}).holds(persisted);
}

bool Point::is_recoverable(const WatchedFile& file, const CrashState& state) const {
    for (const Directory& directory : directories_) {
        for (const auto& [name, inode] : entries(directory, state)) {
            if (starts_with(name, promise_.temporary_prefix) &&
                holds(inode, file.new_content, state)) {
                return true;
            }
        }
    }
    return false;
}

bool Point::keeps_promise(const CrashState& state, bool returned, std::string& why) const {
    for (const WatchedFile& file : promise_.files) {
        for (const Directory& directory : directories_) {
            if (directory.inode != file.directory) {
                continue;
            }
            const Entries& named = entries(directory, state);
            auto entry = named.find(file.name);
            if (returned) {
                if (entry == named.end() || !holds(entry->second, file.new_content, state)) {
                    why = "'" + file.name +
                          "' does not hold its new content, though the call returned done";
                    return false;
                }
                continue;
            }
            const bool whole =
                entry != named.end() && (holds(entry->second, file.old_content, state) ||
                                         holds(entry->second, file.new_content, state));
            if (!whole && !is_recoverable(file, state)) {
                why = "'" + file.name +
                      "' holds neither its old nor its new content, and no temporary "
                      "file holds the new one";
                return false;
            }
        }
    }
    return true;
}

std::string Point::describe(const CrashState& state) const {
    std::string text = "persisted:";
    for (std::size_t g = 0; g < files_.size(); ++g) {
        const auto kept = std::count(state.persisted[g].begin(), state.persisted[g].end(), true);
        text += " " + std::to_string(kept) + " of " + std::to_string(unit_counts_[g]) +
                " units of " + text_of(files_[g]) + ";";
    }
    for (std::size_t g = 0; g < directory_groups_.size(); ++g) {
        const Directory& directory = directories_[directory_groups_[g]];
        text += " " + std::to_string(state.prefixes[g]) + " of " +
                std::to_string(directory.snapshots.size() - 1) + " entry operations in " +
                text_of(directory.inode) + ";";
    }
    return text;
}

LeftOnDisk Point::left_on_disk(const Model& model, const CrashState& state) const {
    static const std::vector<bool> nothing_pending;
    LeftOnDisk left;
    for (const Directory& directory : directories_) {
        const Entries& named = entries(directory, state);
        left.directories[directory.inode] = named;
        for (const auto& [name, inode] : named) {
            auto file = model.files().find(inode);
            if (file == model.files().end() || left.files.count(inode) != 0) {
                continue;
            }
            auto group = file_groups_.find(inode);
            const std::vector<bool>& persisted =
                group == file_groups_.end() ? nothing_pending : state.persisted[group->second];
            Image image = file->second.durable;
            for (std::size_t u = 0; u < persisted.size(); ++u) {
                if (persisted[u]) {
                    image.apply(file->second.pending[u]);
                }
            }
            left.files.emplace(inode, std::move(image));
        }
    }
    return left;
}

void note_violation(Exploration& result, const std::string& where, const std::string& what) {
    ++result.violations;
    const std::string example = where + ": " + what;
    if (result.examples.size() < most_examples &&
        (result.examples.empty() || result.examples.back() != example)) {
        result.examples.push_back(example);
    }
}

// Checks the crash states of the model as it stands; `returned`: the call
// has returned, with the result that `promise.done` says.
void check_point(const Model& model, const Promise& promise, const Limits& limits,
                 const std::string& where, bool returned, Exploration& result) {
    const Point point(model, promise);
    const std::uint64_t total = point.count(limits.exhaustive_up_to);
    const bool exhaustive = total <= limits.exhaustive_up_to;
    const Point::Visit judge = [&](const CrashState& state) {
        std::string why;
        if (!point.keeps_promise(state, returned && promise.done, why)) {
            note_violation(result, where, why + " (" + point.describe(state) + ")");
        }
        ++result.states;
    };
    if (exhaustive) {
        point.each_state(total, judge);
    } else {
        point.each_sampled(limits.random_states, limits.seed + result.points, judge);
    }
    ++result.points;
    result.exhaustive_points += exhaustive ? 1 : 0;
}

bool removes_temporary(const Op& op, const Promise& promise) {
    return (op.kind == OpKind::unlink || op.kind == OpKind::rename) &&
           starts_with(op.name, promise.temporary_prefix) &&
           !(op.kind == OpKind::rename && starts_with(op.to_name, promise.temporary_prefix));
}

// Whether the file, at its name, is whole old or whole new with nothing of
// it or of its entry pending.
bool is_durably_whole(const Model& model, const WatchedFile& file) {
    auto directory = model.directories().find(file.directory);
    if (directory == model.directories().end()) {
        return false;
    }
    for (const EntryOp& op : directory->second.pending) {
        if (op.name == file.name || op.to_name == file.name) {
            return false;
        }
    }
    auto entry = directory->second.durable.find(file.name);
    auto state = entry == directory->second.durable.end() ? model.files().end()
                                                          : model.files().find(entry->second);
    if (state == model.files().end() || !state->second.pending.empty()) {
        return false;
    }
    const Image& image = state->second.durable;
    const auto whole = [&](const std::string& content) {
        return image.length == static_cast<std::int64_t>(content.size()) &&
               image.holds(0, image.length, content);
    };
    return whole(file.old_content) || whole(file.new_content);
}

bool covers(const Op& later, const Op& earlier) {
    switch (later.kind) {
        case OpKind::sync:
            return true;
        case OpKind::syncfs:
            return earlier.kind != OpKind::sync && later.inode.volume == earlier.inode.volume;
        default:
            return (earlier.kind == OpKind::fsync || earlier.kind == OpKind::fdatasync) &&
                   later.inode == earlier.inode;
    }
}

}  // namespace

Exploration explore(const std::vector<Op>& log, const Promise& promise, const Limits& limits) {
    Model model;
    for (const WatchedFile& file : promise.files) {
        model.add_existing_file(file.directory, file.name, file.inode, file.old_content);
    }
    Exploration result;
    check_point(model, promise, limits, "at the start", false, result);
    for (std::size_t i = 0; i < log.size(); ++i) {
        const std::string where = "after #" + std::to_string(i) + " " + log[i].describe();
        if (removes_temporary(log[i], promise)) {
            for (const WatchedFile& file : promise.files) {
                if (!is_durably_whole(model, file)) {
                    note_violation(result, where, "the temporary file went before '" + file.name +
                                                      "' was durable");
                }
            }
        }
        model.apply(log[i]);
        if (Model::changes_anything(log[i])) {
            check_point(model, promise, limits, where, false, result);
        }
    }
    // The log ends where the call returned: a cut from then on may leave
    // only what the result promised.
    if (promise.done) {
        check_point(model, promise, limits, "after the call returned", true, result);
    }
    return result;
}

Visited each_crash_state(const Model& model, const Limits& limits, std::uint64_t seed,
                         const std::function<void(const LeftOnDisk&)>& visit) {
    static const Promise no_promise;
    const Point point(model, no_promise);
    const std::uint64_t total = point.count(limits.exhaustive_up_to);
    Visited visited;
    visited.exhaustive = total <= limits.exhaustive_up_to;
    const Point::Visit hand_over = [&](const CrashState& state) {
        visit(point.left_on_disk(model, state));
        ++visited.states;
    };
    if (visited.exhaustive) {
        point.each_state(total, hand_over);
    } else {
        point.each_sampled(limits.random_states, seed, hand_over);
    }
    return visited;
}

bool is_covered_sync(const std::vector<Op>& log, std::size_t index) {
    for (std::size_t next = index + 1; next < log.size(); ++next) {
        if (is_sync(log[next])) {
            return covers(log[next], log[index]);
        }
        if (Model::changes_anything(log[next])) {
            return false;
        }
    }
    return false;
}

}  // namespace kivcrash
