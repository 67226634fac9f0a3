// SPDX-License-Identifier: Zlib
#include "oplog.h"

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

namespace kivcrash {
namespace {

using Fields = std::map<std::string, std::string>;

const std::map<std::string, OpKind> kinds = {
    {"open", OpKind::open},         {"create", OpKind::create}, {"mkdir", OpKind::mkdir},
    {"write", OpKind::write},       {"fallocate", OpKind::fallocate},
    {"ftruncate", OpKind::ftruncate}, {"fsync", OpKind::fsync},
    {"fdatasync", OpKind::fdatasync}, {"syncfs", OpKind::syncfs}, {"sync", OpKind::sync},
    {"unlink", OpKind::unlink},     {"rename", OpKind::rename}, {"close", OpKind::close},
    {"times", OpKind::times},
};

std::string name_of(OpKind kind) {
    for (const auto& [name, known] : kinds) {
        if (known == kind) {
            return name;
        }
    }
    return "?";
}

std::string text_of(const InodeId& inode) {
    return std::to_string(inode.volume) + ":" + std::to_string(inode.index);
}

[[noreturn]] void malformed(const std::string& line) {
    throw std::runtime_error("malformed operation log record: " + line);
}

// The record's kind and its key=value fields.
Fields parse_header(const std::string& line, std::string& kind) {
    std::istringstream words(line);
    Fields fields;
    words >> kind;
    for (std::string word; words >> word;) {
        const std::size_t equals = word.find('=');
        if (equals == std::string::npos) {
            malformed(line);
        }
        fields[word.substr(0, equals)] = word.substr(equals + 1);
    }
    return fields;
}

std::int64_t number(const Fields& fields, const std::string& key) {
    auto found = fields.find(key);
    return found == fields.end() ? 0 : std::strtoll(found->second.c_str(), nullptr, 0);
}

InodeId inode(const Fields& fields, const std::string& key) {
    auto found = fields.find(key);
    if (found == fields.end()) {
        return {};
    }
    const std::string& text = found->second;
    const std::size_t colon = text.find(':');
    return {std::strtoull(text.substr(0, colon).c_str(), nullptr, 10),
            colon == std::string::npos ? 0 : std::strtoull(text.c_str() + colon + 1, nullptr, 10)};
}

Op make_op(const std::string& line, const std::string& payload) {
    std::string kind;
    const Fields fields = parse_header(line, kind);
    if (kind == "lost") {
        throw std::runtime_error("the recorder could not read back the data of a " +
                                 fields.at("call"));
    }
    auto known = kinds.find(kind);
    if (known == kinds.end()) {
        malformed(line);
    }
    Op op;
    op.kind = known->second;
    op.inode = inode(fields, "inode");
    op.is_directory = fields.count("type") != 0 && fields.at("type") == "dir";
    op.directory = op.kind == OpKind::rename ? inode(fields, "from_dir") : inode(fields, "dir");
    op.to_directory = inode(fields, "to_dir");
    op.flags = static_cast<int>(number(fields, op.kind == OpKind::fallocate ? "mode" : "flags"));
    op.offset = number(fields, "offset");
    op.length = number(fields, "length");
    op.call = fields.count("call") != 0 ? fields.at("call") : "";
    if (op.kind == OpKind::write) {
        op.data = payload;
    } else if (op.kind == OpKind::rename) {
        const std::size_t nul = payload.find('\0');
        op.name = payload.substr(0, nul);
        op.to_name = nul == std::string::npos ? "" : payload.substr(nul + 1);
    } else {
        op.name = payload;
    }
    return op;
}

}  // namespace

std::string Op::describe() const {
    std::string text = kind == OpKind::write ? call : name_of(kind);
    if (kind != OpKind::sync) {
        text += " " + text_of(inode);
    }
    switch (kind) {
        case OpKind::write:
            text += " at " + std::to_string(offset) + ", " + std::to_string(data.size()) + " bytes";
            break;
        case OpKind::ftruncate:
            text += " to " + std::to_string(length);
            break;
        case OpKind::create: case OpKind::mkdir: case OpKind::unlink:
            text += " '" + name + "' in " + text_of(directory);
            break;
        case OpKind::rename:
            text += " '" + name + "' in " + text_of(directory) + " to '" + to_name + "' in " +
                    text_of(to_directory);
            break;
        default:
            break;
    }
    return text;
}

bool is_sync(const Op& op) {
    return op.kind == OpKind::fsync || op.kind == OpKind::fdatasync || op.kind == OpKind::syncfs ||
           op.kind == OpKind::sync;
}

std::vector<Op> read_oplog(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read the operation log " + path);
    }
    std::stringstream whole;
    whole << in.rdbuf();
    const std::string text = whole.str();

    std::vector<Op> log;
    std::size_t at = 0;
    for (;;) {
        const std::size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            return log;
        }
        const std::string line = text.substr(at, end - at);
        const std::size_t marker = line.rfind(" bytes=");
        if (marker == std::string::npos) {
            malformed(line);
        }
        const std::size_t size = std::strtoull(line.c_str() + marker + 7, nullptr, 10);
        if (end + 1 + size + 1 > text.size()) {
            return log;  // cut short
        }
        log.push_back(make_op(line.substr(0, marker), text.substr(end + 1, size)));
        at = end + 1 + size + 1;
    }
}

}  // namespace kivcrash
