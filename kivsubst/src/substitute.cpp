#include "substitute.h"

#include <optional>
#include <string>
#include <utility>

#include "kivsubst.h"
#include "platform.h"
#include "report.h"
#include "scan.h"
#include "tempname.h"
#include "writeback.h"

namespace kivsubst {
namespace {

using platform::File;

// The temporary file, deleted when it goes out of scope unless it is kept
// on purpose or was deleted already.
class TemporaryFile {
public:
    TemporaryFile(std::string name, File file) : name_(std::move(name)), file_(std::move(file)) {}
    ~TemporaryFile() {
        if (!kept_) {
            remove();
        }
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    File& file() { return file_; }
    const std::string& name() const { return name_; }

    void keep() {
        file_.close();
        kept_ = true;
    }
    void remove() {
        file_.close();
        platform::remove_file(name_);
        kept_ = true;
    }

private:
    std::string name_;
    File file_;
    bool kept_ = false;
};

// Creates the temporary file exclusively. A name that was taken after it
// was checked (by another process, or by a link planted there) is skipped
// for the service's next free name; `name` is left at the last name tried.
File create_temporary(std::string& name, const std::string& directory) {
    for (;;) {
        platform::Creation outcome = platform::Creation::failed;
        File file = File::create_new(name, outcome);
        if (outcome != platform::Creation::name_taken) {
            return file;
        }
        std::optional<std::string> next = tempname::next_free_name(directory);
        if (!next) {
            return File();
        }
        name = std::move(*next);
    }
}

// Makes the complete result durable, data and directory entry, before the
// file's old content may be overwritten.
bool make_durable(TemporaryFile& temporary, const std::string& directory) {
    return temporary.file().sync() && platform::sync_directory(directory);
}

}  // namespace

int substitute(const char* path, Bytes pattern, Bytes replacement) {
    const std::string directory = tempname::choose_directory(platform::directory_part(path));
    std::optional<std::string> name = tempname::next_free_name(directory);
    if (!name) {
        return report::no_temp_name();
    }

    const std::optional<platform::FileTimes> times = platform::read_times(path);

    File input = File::open_for_reading(path);
    if (!input.is_open()) {
        return report::cannot_open(path);
    }
    const std::int64_t length = input.length();
    if (length < 0) {
        return report::cannot_open(path);
    }

    File created = create_temporary(*name, directory);
    if (!created.is_open()) {
        return report::cannot_open_temp(*name);
    }
    TemporaryFile temporary(*name, std::move(created));

    Scanner scanner(pattern, replacement);
    if (!scanner.ready()) {
        return report::no_memory();
    }
    ScanOutcome scanned = scanner.run(input, length, temporary.file());
    input.close();
    if (scanned.kind != ScanOutcome::Kind::complete || !make_durable(temporary, directory)) {
        return report::copy_error();  // the temporary file goes; the file is untouched
    }

    if (temporary.name() == path ||
        !write_back(temporary.file(), scanned.bytes_written, path, scanner.block(),
                    scanner.block_size())) {
        temporary.keep();  // it holds the complete result
        return report::copy_error();
    }
    temporary.remove();

    if (times) {
        platform::set_times(path, *times);
    }
    return scanned.replacements > 0 ? KIVSUBST_REPLACED : KIVSUBST_NOT_FOUND;
}

}  // namespace kivsubst
