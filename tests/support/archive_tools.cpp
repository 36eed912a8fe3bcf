// Archives written by GNU tar and Python's tarfile (see archive_tools.h).
#include "tests/support/archive_tools.h"

#include "tests/support/unit_fixture.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace testsupport {

namespace {

bool run(const std::string &command) {
    return std::system(command.c_str()) == 0;
}

// Writes the files under <workDir>/src (emptied first); returns that folder.
std::string writeSources(const std::string &workDir, const FileTree &files) {
    const std::string src = workDir + "/src";
    removeTree(src);
    fs::create_directories(src);
    for (const auto &f : files)
        writeFile(src + "/" + f.first, f.second);
    return src;
}

} // namespace

bool haveTool(const std::string &command) {
    return run(command + " --version >/dev/null 2>&1");
}

bool gnuTarGz(const std::string &workDir, const FileTree &files, const std::string &out,
              const std::string &format, const std::string &extraOptions) {
    const std::string src = writeSources(workDir, files);
    std::string names;
    for (const auto &f : files)
        names += " " + shellQuote(f.first);
    return run("tar -C " + shellQuote(src) + " -czf " + shellQuote(out) + " --format=" + format +
               " --owner=0 --group=0 --mtime=@0 " + extraOptions + " --" + names + " 2>/dev/null");
}

bool gnuTarSparseGz(const std::string &workDir, const std::string &name, uint64_t size,
                    const std::string &data, const std::string &out, const std::string &format) {
    const std::string src = writeSources(workDir, {});
    fs::create_directories(fs::path(src + "/" + name).parent_path());
    {
        std::ofstream f(src + "/" + name, std::ios::binary);
        f.seekp(static_cast<std::streamoff>(size - data.size()));
        f.write(data.data(), static_cast<std::streamsize>(data.size()));
        if (!f)
            return false;
    }
    return run("tar -C " + shellQuote(src) + " -S -czf " + shellQuote(out) + " --format=" + format +
               " --owner=0 --group=0 --mtime=@0 -- " + shellQuote(name) + " 2>/dev/null");
}

bool pythonTarGz(const std::string &workDir, const FileTree &files, const std::string &out) {
    // The names and contents go through files, so no quoting can break them.
    const std::string src = writeSources(workDir, files);
    std::string list;
    for (const auto &f : files)
        list += f.first + "\n";
    writeFile(workDir + "/names.txt", list);
    const std::string script = "import io, sys, tarfile\n"
                               "src, out, names = sys.argv[1], sys.argv[2], sys.argv[3]\n"
                               "with tarfile.open(out, 'w:gz') as t:\n"
                               "    for n in open(names, encoding='utf-8').read().splitlines():\n"
                               "        data = open(src + '/' + n, 'rb').read()\n"
                               "        i = tarfile.TarInfo(n)\n"
                               "        i.size = len(data)\n"
                               "        t.addfile(i, io.BytesIO(data))\n";
    writeFile(workDir + "/mktar.py", script);
    return run("python3 " + shellQuote(workDir + "/mktar.py") + " " + shellQuote(src) + " " +
               shellQuote(out) + " " + shellQuote(workDir + "/names.txt") + " 2>/dev/null");
}

} // namespace testsupport
