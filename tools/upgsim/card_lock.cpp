// The boundary of the device folders of one run: the host kit's card lock
// on --sd and --flash, and the refusal of folders that hold a symbolic link.
#include "tools/upgsim/card_lock.h"

#include "tools/hostkit/card_lock.h"

#include "tools/mediacheck/treewalk.h"
#include "tools/scripthost/child.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

namespace upgsim {

namespace {

namespace fs = std::filesystem;

// One folder given on the command line.
struct Folder {
    const std::string *path;
    const char *option; // "--sd"
    const char *what;   // "the card folder"
    bool locked;        // locked for the run (the medium is only read)
};

// Commands that only read the card and the flash: they may run side by side.
bool onlyReads(const std::string &command) {
    return command == "analyse" || command == "check" || command == "blocksize" ||
           command == "config";
}

// Commands whose exit statuses below 124 are the script's own.
bool runsAScript(const std::string &command) {
    return command == "run" || command == "demo";
}

// The first symbolic link under `dir` (not followed), or empty, by the
// shared walk (its memory stays linear in the folder's depth). False, with
// the reason in `error`, when the walk cannot finish (a folder that cannot be
// read, too many open files in a deep tree, a path too long): a walk that
// stopped early would pass a folder it never saw to its end. A folder that is
// not there holds no link (other checks name it).
bool firstLink(const std::string &dir, std::string *link, std::string *error) {
    link->clear();
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(dir, ec)))
        return true;
    errno = 0;
    const bool whole = mediacheck::walkTree(dir, [&](const mediacheck::TreeItem &item) {
        std::error_code typeError;
        if (!item.entry.is_symlink(typeError))
            return mediacheck::Walk::Continue;
        *link = item.entry.path().string();
        return mediacheck::Walk::Stop;
    });
    if (whole || !link->empty())
        return true;
    *error = errno != 0 ? std::strerror(errno)
                        : std::string("the walk could not read every folder to its end");
    return false;
}

} // namespace

int guardDeviceFolders(const GlobalOptions &opts, const std::string &command) {
    const Folder folders[] = {{&opts.sd, "--sd", "the card folder", true},
                              {&opts.flash, "--flash", "the flash folder", true},
                              {&opts.media, "--media", "the medium folder", false}};
    const bool script = runsAScript(command);
    std::vector<hostkit::DeviceFolder> locked;
    for (const Folder &f : folders)
        if (!f.path->empty() && f.locked)
            locked.push_back(hostkit::DeviceFolder{*f.path, f.option, f.what});
    const std::string problem = hostkit::lockDeviceFolders(locked, !onlyReads(command));
    if (!problem.empty())
        return failure(problem, script ? scripthost::k_exit_host_failure : EXIT_FAILURE_REPORTED);
    for (const Folder &f : folders) {
        if (f.path->empty())
            continue;
        std::string link;
        std::string error;
        if (!firstLink(*f.path, &link, &error))
            return failure("cannot check " + std::string(f.what) + " '" + *f.path + "' (" +
                               f.option + ") for symbolic links: " + error,
                           script ? scripthost::k_exit_host_failure : EXIT_FAILURE_REPORTED);
        if (!link.empty())
            return failure(std::string(f.what) + " '" + *f.path + "' (" + f.option +
                               ") holds a symbolic link, " + link +
                               ": a unit device holds none, and a link could lead the run's "
                               "writes outside the folder; put what it points to in its place",
                           script ? scripthost::k_exit_host_failure : EXIT_USAGE);
    }
    return EXIT_OK;
}

} // namespace upgsim
