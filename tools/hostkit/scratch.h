// Scratch folders of the host tools (check's scratch card, the card copy of
// `run --scratch`, the demo's unit, the sweep's copies, the script host's
// compile folder): made under $TMPDIR (else /tmp), marked with the owner's
// process, and removed however the owner ends.
//
// A marked folder holds the file ".upgsim-scratch": "PID START HOST", the
// owner's process id, its start time (clock ticks since boot, from
// /proc/PID/stat) and the host's name. A folder whose owner no longer runs
// (a run ended by SIGKILL or a power loss) is stale: removeStaleScratch()
// removes it, and every upgsim command calls it when it starts.
//
// On SIGINT, SIGTERM, SIGHUP and SIGPIPE the owner first stops whatever may
// still write into its folders: its child processes (the script's process,
// the sweep's workers) are ended and reaped, and every other thread of the
// process (the module's writer tasks among them) is held where it stands;
// then the folders are removed, and the signal takes its course (the
// handler that was there before, else the signal's own action). A signal
// ignored when the first folder is made stays ignored. Host tool code.
#ifndef TOOLS_HOSTKIT_SCRATCH_H
#define TOOLS_HOSTKIT_SCRATCH_H

#include <string>

namespace hostkit {

// The file that marks a scratch folder.
extern const char *const k_scratch_marker;

// $TMPDIR when set and not empty, else "/tmp".
std::string scratchBase();

// A marked folder "<parent>/<tag>-XXXXXX" (parent empty: scratchBase()),
// removed with everything in it when the object ends and when a signal
// ends the process. At most sixteen exist at a time in a process. Any
// thread; the one that makes an object ends it.
class Scratch {
public:
    Scratch(const std::string &parent, const std::string &tag);
    ~Scratch();
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;
    // The folder; empty when none could be made (error() tells why).
    const std::string &path() const { return m_path; }
    // The errno of the failure when path() is empty, else 0.
    int error() const { return m_error; }
    // The folder the object was asked to make it in.
    const std::string &parent() const { return m_parent; }

private:
    std::string m_path;
    std::string m_parent;
    int m_slot = -1;
    int m_error = 0;
};

// Whether the marked folder `dir` belongs to a process of this host that no
// longer runs (its id unused, or used by a process started at another
// time). False for a folder without a readable marker, of another host or
// of another user.
bool isStale(const std::string &dir);

// Removes the stale marked folders directly under `parent` whose names
// start with "upgsim-"; parent empty: scratchBase() and /dev/shm (where the
// sweep's copies go). The number removed.
int removeStaleScratch(const std::string &parent = std::string());

} // namespace hostkit

#endif
