// Temporary folders mapped as the unit's devices, and small host file helpers
// for the tests.
#include "tests/support/unit_fixture.h"

#include "unit/unit.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace testsupport {

std::string makeTempDir(const std::string &tag) {
    std::string tmpl = (fs::temp_directory_path() / (tag + "-XXXXXX")).string();
    char *made = mkdtemp(tmpl.data());
    return made ? std::string(made) : std::string();
}

void removeTree(const std::string &hostPath) {
    if (hostPath.empty())
        return;
    std::error_code ec;
    fs::remove_all(hostPath, ec);
}

bool writeFile(const std::string &hostPath, const std::string &content) {
    std::error_code ec;
    fs::path p(hostPath);
    if (p.has_parent_path())
        fs::create_directories(p.parent_path(), ec);
    std::ofstream out(hostPath, std::ios::binary | std::ios::trunc);
    if (!out)
        return false;
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    return static_cast<bool>(out);
}

std::string readFile(const std::string &hostPath) {
    std::ifstream in(hostPath, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool fileExists(const std::string &hostPath) {
    std::error_code ec;
    return fs::exists(hostPath, ec);
}

std::string shellQuote(const std::string &text) {
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string upgsimPath() {
    char self[PATH_MAX] = {};
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return std::string();
    std::string exe(self, static_cast<size_t>(n));
    return exe.substr(0, exe.rfind('/')) + "/../tools/upgsim";
}

int runUpgsim(const std::string &args, const std::string &dir, const std::string &cwd) {
    std::string command;
    if (!cwd.empty())
        command = "cd " + shellQuote(cwd) + " && ";
    command += shellQuote(upgsimPath()) + " " + args + " >" + shellQuote(dir + "/stdout") + " 2>" +
               shellQuote(dir + "/stderr") + " </dev/null";
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int runUpgsim(const std::vector<std::string> &argv, const std::string &dir,
              const std::string &cwd) {
    std::string args;
    for (const std::string &word : argv)
        args += (args.empty() ? "" : " ") + shellQuote(word);
    return runUpgsim(args, dir, cwd);
}

std::string makeMemoryTempDir(const std::string &tag) {
    struct stat st;
    if (::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && ::access("/dev/shm", W_OK) == 0) {
        std::string tmpl = "/dev/shm/" + tag + "-XXXXXX";
        if (char *made = mkdtemp(tmpl.data()))
            return std::string(made);
    }
    return makeTempDir(tag);
}

void UnitFixture::SetUp() {
    hostsim::resetAll();
    unit::installAll();
    m_root = m_inMemory ? makeMemoryTempDir() : makeTempDir();
    ASSERT_FALSE(m_root.empty());
    fs::create_directories(sdDir());
    fs::create_directories(flashDir());
    fs::create_directories(mediaDir());
    hostsim::mountDevice("/SDH", sdDir());
    hostsim::mountDevice("/F", flashDir());
    hostsim::mountDevice("/DVD", mediaDir());
    hostsim::captureLog(true);
}

void UnitFixture::TearDown() {
    hostsim::waitAllTasks(10000);
    hostsim::resetAll();
    removeTree(m_root);
}

} // namespace testsupport
