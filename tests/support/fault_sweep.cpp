// Fault-injection sweeps and the tree snapshots they compare (see
// fault_sweep.h).
#include "tests/support/fault_sweep.h"

#include "tests/support/unit_fixture.h"

#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

namespace fs = std::filesystem;

namespace testsupport {

Tree snapshotTree(const std::string &hostDir) {
    Tree tree;
    std::error_code ec;
    if (!fs::exists(hostDir, ec))
        return tree;
    for (auto it = fs::recursive_directory_iterator(hostDir, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        std::string rel = fs::relative(it->path(), hostDir, ec).generic_string();
        if (it->is_directory(ec))
            tree[rel] = "<dir>";
        else if (it->is_symlink(ec))
            tree[rel] = "<link>";
        else if (it->is_regular_file(ec))
            tree[rel] = readFile(it->path().string());
        else
            tree[rel] = "<other>";
    }
    return tree;
}

std::vector<std::string> tracedStateOps(const std::function<void()> &run,
                                        const std::string &scratchFile) {
    std::vector<std::string> ops;
    const int fd = ::open(scratchFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0)
        return ops;
    hostsim::traceStateOps(fd);
    run();
    hostsim::traceStateOps(-1);
    ::close(fd);
    // "k<TAB>op<TAB>path" per line.
    const std::string text = readFile(scratchFile);
    for (size_t pos = 0; pos < text.size();) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        const size_t tab = line.find('\t');
        if (tab == std::string::npos)
            continue;
        line = line.substr(tab + 1);
        const size_t second = line.find('\t');
        if (second != std::string::npos)
            line[second] = ' ';
        ops.push_back(line);
    }
    fs::remove(scratchFile);
    return ops;
}

Tree digest(const Tree &tree) {
    Tree out;
    for (const auto &entry : tree) {
        const std::string &c = entry.second;
        if (c.size() <= 64) {
            out.insert(entry);
            continue;
        }
        char text[64];
        std::snprintf(
            text, sizeof text, "<%zu bytes, crc %08lx>", c.size(),
            static_cast<unsigned long>(
                crc32(0L, reinterpret_cast<const Bytef *>(c.data()), static_cast<uInt>(c.size()))));
        out[entry.first] = text;
    }
    return out;
}

Tree subTree(const Tree &tree, const std::string &prefix, bool inside) {
    Tree out;
    for (const auto &entry : tree)
        if ((entry.first.compare(0, prefix.size(), prefix) == 0) == inside)
            out.insert(entry);
    return out;
}

int openDescriptorCount() {
    int n = 0;
    std::error_code ec;
    for (auto it = fs::directory_iterator("/proc/self/fd", ec);
         !ec && it != fs::directory_iterator(); it.increment(ec))
        n++;
    return n;
}

int sweepErrno(hostsim::FileOp op) {
    switch (op) {
    case hostsim::FileOp::Read:
    case hostsim::FileOp::Readdir:
    case hostsim::FileOp::Opendir:
    case hostsim::FileOp::Stat:
        return EIO;
    case hostsim::FileOp::Write:
    case hostsim::FileOp::Fwrite:
    case hostsim::FileOp::Fflush:
    case hostsim::FileOp::Close:
    case hostsim::FileOp::Fclose:
    case hostsim::FileOp::Mkdir:
        return ENOSPC;
    default:
        return EACCES;
    }
}

std::vector<hostsim::FileOp> allFileOps() {
    std::vector<hostsim::FileOp> ops;
    for (int i = 0; i < hostsim::kFileOpCount; i++)
        ops.push_back(static_cast<hostsim::FileOp>(i));
    return ops;
}

SweepCount sweepFaults(const std::vector<hostsim::FileOp> &ops,
                       const std::function<void()> &restore,
                       const std::function<void(const std::string &what)> &run) {
    SweepCount count;
    for (hostsim::FileOp op : ops) {
        for (bool persistent : {false, true}) {
            for (int k = 1;; k++) {
                restore();
                hostsim::clearFaults();
                const int err = sweepErrno(op);
                hostsim::injectFault(op, k, err, persistent);
                const std::string what = std::string(hostsim::fileOpName(op)) + " #" +
                                         std::to_string(k) + (persistent ? " on" : " once") +
                                         " (errno " + std::to_string(err) + ")";
                run(what);
                const bool fired = hostsim::callCount(op) >= k;
                hostsim::clearFaults();
                count.runs++;
                if (!fired)
                    break;
                count.faults++;
            }
        }
    }
    return count;
}

} // namespace testsupport
