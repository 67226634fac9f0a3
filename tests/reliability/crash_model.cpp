// SPDX-License-Identifier: Zlib
#include "crash_model.h"

#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace kivcrash {

void Image::apply(const Unit& unit) {
    if (unit.kind == Unit::Kind::data) {
        const std::size_t end = static_cast<std::size_t>(unit.offset) + unit.bytes.size();
        if (bytes.size() < end) {
            bytes.resize(end, '\0');
            held.resize(end, '\0');
        }
        bytes.replace(static_cast<std::size_t>(unit.offset), unit.bytes.size(), unit.bytes);
        held.replace(static_cast<std::size_t>(unit.offset), unit.bytes.size(), unit.bytes.size(),
                     '\1');
        return;
    }
    if (unit.cuts && static_cast<std::size_t>(unit.length) < held.size()) {
        std::fill(held.begin() + unit.length, held.end(), '\0');
    }
    length = unit.length;
}

bool Image::holds(std::int64_t from, std::int64_t to, const std::string& expected) const {
    const auto start = static_cast<std::size_t>(from);
    const auto size = static_cast<std::size_t>(to - from);
    return static_cast<std::size_t>(to) <= bytes.size() &&
           std::memchr(held.data() + start, '\0', size) == nullptr &&
           std::memcmp(bytes.data() + start, expected.data() + start, size) == 0;
}

void apply(Entries& entries, const EntryOp& op) {
    switch (op.kind) {
        case EntryOp::Kind::add:
            entries[op.name] = op.inode;
            break;
        case EntryOp::Kind::remove:
            entries.erase(op.name);
            break;
        case EntryOp::Kind::move:
            entries.erase(op.name);
            entries[op.to_name] = op.inode;
            break;
    }
}

void Model::add_existing_file(const InodeId& directory, const std::string& name,
                              const InodeId& file, const std::string& content) {
    FileState& state = files_[file];
    state.durable.bytes = content;
    state.durable.held.assign(content.size(), '\1');
    state.durable.length = static_cast<std::int64_t>(content.size());
    state.length_now = state.durable.length;
    directories_[directory].durable[name] = file;
}

bool Model::changes_anything(const Op& op) {
    if (op.kind == OpKind::open) {
        return (op.flags & O_TRUNC) != 0 && (op.flags & O_PATH) == 0 && !op.is_directory;
    }
    return op.kind != OpKind::close && op.kind != OpKind::times;
}

// Cuts the write into one data unit per page it touches, followed by the
// new length if it ended past the end.
void Model::write(const InodeId& inode, std::int64_t offset, const std::string& data) {
    FileState& file = files_[inode];
    const std::int64_t end = offset + static_cast<std::int64_t>(data.size());
    for (std::int64_t at = offset; at < end;) {
        const std::int64_t page_end = std::min(end, (at / page_size + 1) * page_size);
        Unit unit;
        unit.offset = at;
        unit.bytes = data.substr(static_cast<std::size_t>(at - offset),
                                 static_cast<std::size_t>(page_end - at));
        unit.sequence = next_sequence_++;
        file.pending.push_back(std::move(unit));
        at = page_end;
    }
    if (end > file.length_now) {
        set_length(inode, end, false);
    }
}

void Model::set_length(const InodeId& inode, std::int64_t length, bool cuts) {
    FileState& file = files_[inode];
    Unit unit;
    unit.kind = Unit::Kind::length;
    unit.length = length;
    unit.cuts = cuts;
    unit.sequence = next_sequence_++;
    file.pending.push_back(unit);
    file.length_now = length;
}

void Model::make_file_durable(FileState& file) {
    for (const Unit& unit : file.pending) {
        file.durable.apply(unit);
    }
    file.pending.clear();
}

void Model::make_directory_durable(DirectoryState& directory) {
    for (const EntryOp& op : directory.pending) {
        kivcrash::apply(directory.durable, op);
    }
    directory.pending.clear();
}

void Model::make_device_durable(const InodeId& any, bool every_device) {
    for (auto& [inode, file] : files_) {
        if (every_device || inode.volume == any.volume) {
            make_file_durable(file);
        }
    }
    for (auto& [inode, directory] : directories_) {
        if (every_device || inode.volume == any.volume) {
            make_directory_durable(directory);
        }
    }
}

void Model::add_entry_op(const InodeId& directory, EntryOp op) {
    op.sequence = next_sequence_++;
    directories_[directory].pending.push_back(std::move(op));
}

void Model::apply(const Op& op) {
    switch (op.kind) {
        case OpKind::open:
            if (changes_anything(op)) {
                set_length(op.inode, 0, true);
            }
            break;
        case OpKind::create:
        case OpKind::mkdir:
            if (op.kind == OpKind::mkdir) {
                directories_[op.inode];
            } else {
                files_[op.inode];
            }
            add_entry_op(op.directory, {EntryOp::Kind::add, op.name, "", op.inode, 0});
            break;
        case OpKind::write:
            write(op.inode, op.offset, op.data);
            break;
        case OpKind::fallocate:
            if ((op.flags & ~FALLOC_FL_KEEP_SIZE) != 0) {
                throw std::runtime_error("the model has no fallocate mode " +
                                         std::to_string(op.flags));
            }
            if ((op.flags & FALLOC_FL_KEEP_SIZE) == 0 &&
                op.offset + op.length > files_[op.inode].length_now) {
                set_length(op.inode, op.offset + op.length, false);
            }
            break;
        case OpKind::ftruncate:
            set_length(op.inode, op.length, true);
            break;
        case OpKind::fsync:
        case OpKind::fdatasync:
            if (op.is_directory) {
                make_directory_durable(directories_[op.inode]);
            } else {
                make_file_durable(files_[op.inode]);
            }
            break;
        case OpKind::syncfs:
        case OpKind::sync:
            make_device_durable(op.inode, op.kind == OpKind::sync);
            break;
        case OpKind::unlink:
            add_entry_op(op.directory, {EntryOp::Kind::remove, op.name, "", op.inode, 0});
            break;
        case OpKind::rename:
            if (op.directory == op.to_directory) {
                add_entry_op(op.directory, {EntryOp::Kind::move, op.name, op.to_name, op.inode, 0});
            } else {
                add_entry_op(op.directory, {EntryOp::Kind::remove, op.name, "", op.inode, 0});
                add_entry_op(op.to_directory, {EntryOp::Kind::add, op.to_name, "", op.inode, 0});
            }
            break;
        case OpKind::close:
        case OpKind::times:
            break;
    }
}

}  // namespace kivcrash
