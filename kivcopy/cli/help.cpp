// SPDX-License-Identifier: Zlib
#include "help.h"

#include "kivcli/output.h"

namespace kivcopy_cli {

// The whole of --help, as one text: the README's option tables are checked
// against it.
constexpr const char help_text[] =
    "Usage: kivcopy [OPTION]... [--] SOURCE TARGET\n"
    "  or:  kivcopy [OPTION]... [--] SOURCE... DIRECTORY\n"
    "  or:  kivcopy [OPTION]... -t DIRECTORY [--] SOURCE...\n"
    "Copy SOURCE to TARGET, or each SOURCE into DIRECTORY, and give each copy\n"
    "the source's last-access time as both its access and modification time.\n"
    "\n"
    "  -n, --no-clobber        leave an existing target alone, silently (default)\n"
    "  -f, --overwrite         replace targets that already exist; one that cannot\n"
    "                          be opened for writing (a running program, a read-only\n"
    "                          file), a FIFO or a socket is removed and copied anew\n"
    "                          (of -n and -f, the last one given counts)\n"
    "      --remove-destination  remove each existing target before copying\n"
    "  -u, --update            copy only when the target is missing or older than\n"
    "                          the source (an older one is replaced)\n"
    "  -b, --backup[=CONTROL]  replace existing targets, each renamed to its backup\n"
    "                          first (no -f needed; not with -n): CONTROL is simple\n"
    "                          (TARGET~, the default, or VERSION_CONTROL's),\n"
    "                          numbered (TARGET.~N~), existing (numbered where\n"
    "                          TARGET has numbered backups, else simple) or none;\n"
    "                          -b takes no CONTROL\n"
    "  -S, --suffix=SUFFIX     the suffix of simple backups instead of ~ (implies -b)\n"
    "  -r, -R, --recursive     copy directories and what is in them: links are\n"
    "                          copied as links, FIFOs made anew; a tree that holds\n"
    "                          a socket or a device is copied without it, and fails\n"
    "  -a, --archive           -r -p -P --preserve=links: keep everything\n"
    "  -P, --no-dereference    copy every symbolic link as a link (the default\n"
    "                          with -r, for the links named as SOURCE too)\n"
    "  -H                      follow the links named as SOURCE, copy the others\n"
    "                          as links (the default without -r)\n"
    "  -L, --dereference       follow every link, in trees too\n"
    "      --follow-hard-links  with -r as root, copy also a file that has other\n"
    "                          hard links, in a directory not its owner's alone\n"
    "      --reflink[=WHEN]    share the source's blocks where the file system can:\n"
    "                          auto (the default: where it can), always (without\n"
    "                          WHEN: a copy that cannot fails), never\n"
    "  -p                      keep the source's mode, owner and times\n"
    "      --preserve[=LIST]   keep what LIST names: mode, ownership, timestamps,\n"
    "                          links (two names of a file in a tree stay two names\n"
    "                          of one copy); all four without a LIST\n"
    "  -t, --target-directory=DIRECTORY  copy every SOURCE into DIRECTORY\n"
    "  -D                      create the missing directories of each target,\n"
    "                          and DIRECTORY itself, mode 0755 less umask\n"
    "  -v, --verbose           print a line for each file copied or skipped\n"
    "      --progress          show bytes done and the rate on standard error (shown\n"
    "                          anyway on a terminal once a run takes over a second)\n"
    "      --help              show this help and exit\n"
    "      --version           show the version and exit\n"
    "\n"
    "Options may come anywhere on the line; '--' ends them. Put '--' before\n"
    "the file names in scripts: a name from a glob or a variable may start\n"
    "with '-' and would otherwise be taken as an option:\n"
    "  kivcopy -f -- media/*.ini product/\n"
    "  kivcopy -D -t /opt/app/etc -- \"$config\"\n"
    "  kivcopy -r -u -b -- media/app/ /opt/app\n"
    "  kivcopy -f -p -- build/server /usr/local/bin/\n"
    "  kivcopy -a -- /srv/product/ /opt/product\n"
    "  kivcopy -f --backup=numbered -- app.ini /etc/app/\n"
    "\n"
    "A target written earlier in the same run is never replaced, even with -f.\n"
    "\n"
    "Exit status: 0 if every file was copied or skipped as existing,\n"
    "1 if any copy failed, 64 if the command line is wrong.\n";

void print_help() {
    kivcli::print(help_text);
}

}  // namespace kivcopy_cli
