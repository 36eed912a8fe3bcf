// Compiling and running one upgrade script with TinyCC: the generated header
// and wrappers are written into a fresh temporary folder, compiled with the
// script, linked into page-aligned memory that the host allocates (so that
// memory checkers see it), and the script's main is run on the calling thread.
#include "platform/hostsim/hostsim.h"
#include "tools/scripthost/confine.h"
#include "tools/scripthost/internal.h"
#include "tools/scripthost/scripthost.h"

#include "tools/hostkit/scratch.h"

#include <libtcc.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sys/mman.h>
#include <unistd.h>

namespace scripthost {

namespace {

namespace fs = std::filesystem;

// TinyCC keeps global state while it compiles, and the running script's
// context is global: one script at a time.
std::mutex g_run_lock;

const char k_wrapper_name[] = "upgrade_builtins_wrappers.c";

// Where Debian's tcc package keeps its runtime library (libtcc1.a) and its own
// headers (stdarg.h, stddef.h, ...). libtcc is built with this folder as its
// default; it is set again explicitly so that a differently configured libtcc
// still finds the package's files.
const char k_tcc_dir[] = "/usr/lib/x86_64-linux-gnu/tcc";

void collectMessage(void *opaque, const char *msg) {
    static_cast<std::vector<std::string> *>(opaque)->push_back(msg);
}

// A temporary folder removed with everything in it when the object dies,
// also when a signal ends the process (a marked folder of the host kit).
class TempDir {
public:
    TempDir() : m_scratch("", "upgsim-script") {}
    const std::string &path() const { return m_scratch.path(); }

private:
    hostkit::Scratch m_scratch;
};

bool writeText(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    return static_cast<bool>(out);
}

// Memory the linked script lives in: page-aligned heap memory, made executable
// by TinyCC while linking, returned to plain read-write before it is freed.
class CodeMemory {
public:
    bool allocate(std::size_t size) {
        long page = sysconf(_SC_PAGESIZE);
        m_pageSize = page > 0 ? static_cast<std::size_t>(page) : 4096;
        m_size = (size + m_pageSize - 1) / m_pageSize * m_pageSize;
        if (m_size == 0)
            m_size = m_pageSize;
        if (posix_memalign(&m_mem, m_pageSize, m_size) != 0) {
            m_mem = nullptr;
            return false;
        }
        std::memset(m_mem, 0, m_size);
        return true;
    }
    ~CodeMemory() {
        if (m_mem != nullptr) {
            mprotect(m_mem, m_size, PROT_READ | PROT_WRITE);
            std::free(m_mem);
        }
    }
    void *get() const { return m_mem; }

private:
    void *m_mem = nullptr;
    std::size_t m_size = 0;
    std::size_t m_pageSize = 0;
};

class TccState {
public:
    TccState() : m_s(tcc_new()) {}
    ~TccState() {
        if (m_s != nullptr)
            tcc_delete(m_s);
    }
    TccState(const TccState &) = delete;
    TccState &operator=(const TccState &) = delete;
    TCCState *get() const { return m_s; }

private:
    TCCState *m_s;
};

// main is called with argc, argv and the environment, which serves every form
// of main a script may declare.
typedef int (*ScriptMain)(int, char **, char **);

// Runs main under the exit jump. Kept apart from the C++ objects of
// runScript: the jump skips only this frame and the script's own.
int callMain(detail::RunContext &ctx, ScriptMain entry, int argc, char **argv, bool &exited) {
    volatile bool jumped = false;
    volatile int status = 0;
    if (setjmp(ctx.exitJump) == 0) {
        status = entry(argc, argv, environ);
    } else {
        jumped = true;
        status = ctx.exitStatus;
    }
    exited = jumped;
    return status;
}

} // namespace

std::string RunResult::messageText() const {
    std::string out;
    for (const std::string &m : messages) {
        out += m;
        if (out.empty() || out.back() != '\n')
            out += "\n";
    }
    return out;
}

RunResult runScript(const std::string &scriptPath, const RunOptions &options) {
    RunResult result;
    std::unique_lock<std::mutex> lock(g_run_lock, std::try_to_lock);
    if (!lock.owns_lock()) {
        result.outcome = RunResult::Outcome::Busy;
        result.messages.push_back("another script is running");
        return result;
    }

    // Declared first so that it outlives the compiler state that links into it.
    CodeMemory code;
    TccState tcc;
    if (tcc.get() == nullptr) {
        result.messages.push_back("cannot start the compiler");
        return result;
    }
    TCCState *s = tcc.get();
    std::error_code dirError;
    if (fs::is_directory(k_tcc_dir, dirError))
        tcc_set_lib_path(s, k_tcc_dir);
    tcc_set_error_func(s, &result.messages, collectMessage);
    tcc_set_options(s, "-Wall");
    if (tcc_set_output_type(s, TCC_OUTPUT_MEMORY) == -1) {
        result.messages.push_back("cannot start the compiler");
        return result;
    }
    tcc_define_symbol(s, "UPGSIM_HOST", "1");
    for (const std::string &dir : options.includeDirs)
        tcc_add_include_path(s, dir.c_str());
    for (const detail::HostSymbol &sym : detail::hostSymbols())
        tcc_add_symbol(s, sym.name, sym.address);

    {
        // The generated files exist only while they are compiled.
        TempDir gen;
        if (gen.path().empty() || !writeText(gen.path() + "/" + k_header_name, headerText()) ||
            !writeText(gen.path() + "/" + k_wrapper_name, wrapperText())) {
            result.messages.push_back("cannot write the builtin header into a temporary folder");
            return result;
        }
        tcc_add_include_path(s, gen.path().c_str());
        if (tcc_add_file(s, (gen.path() + "/" + k_wrapper_name).c_str()) == -1) {
            result.outcome = RunResult::Outcome::CompileFailed;
            return result;
        }
        std::error_code ec;
        if (!fs::is_regular_file(scriptPath, ec)) {
            result.outcome = RunResult::Outcome::CompileFailed;
            result.messages.push_back(scriptPath + ": cannot read the script");
            return result;
        }
        // The script is C whatever its file name says (".txt", none).
        tcc_set_options(s, "-xc");
        if (tcc_add_file(s, scriptPath.c_str()) == -1) {
            result.outcome = RunResult::Outcome::CompileFailed;
            return result;
        }
    }

    result.outcome = RunResult::Outcome::LinkFailed;
    int size = tcc_relocate(s, nullptr);
    if (size < 0)
        return result;
    if (!code.allocate(static_cast<std::size_t>(size))) {
        result.messages.push_back("no memory to link the script into");
        return result;
    }
    if (tcc_relocate(s, code.get()) < 0)
        return result;
    ScriptMain entry = reinterpret_cast<ScriptMain>(tcc_get_symbol(s, "main"));
    if (entry == nullptr) {
        result.messages.push_back(scriptPath + ": the script has no main");
        return result;
    }

    std::vector<std::string> argStore;
    argStore.push_back(scriptPath);
    argStore.insert(argStore.end(), options.args.begin(), options.args.end());
    std::vector<char *> argv;
    for (std::string &a : argStore)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    // Compiled (its #include files read as the user could): from here on the
    // script's process reaches only the unit's devices.
    if (options.confine) {
        std::string why;
        if (!confineProcess(deviceConfinement(), why)) {
            result.outcome = RunResult::Outcome::HostFailed;
            result.messages.push_back("upgsim: cannot confine the script to the unit's devices: " +
                                      why);
            return result;
        }
        // And for the builtins and the script's gated calls, a path on none
        // of the unit's devices is absent, as on the unit: an archive cannot
        // be extracted into, nor a file copied to, a folder of the host.
        hostsim::setHostPathsAbsent(true);
    }

    detail::RunContext ctx;
    ctx.ownProcess = options.ownProcess;
    ctx.pid = getpid();
    detail::setCurrentRun(&ctx);
    bool exited = false;
    result.status = callMain(ctx, entry, static_cast<int>(argStore.size()), argv.data(), exited);
    // A process the script forked has returned from main (or called exit):
    // it ends here.
    if (getpid() != ctx.pid)
        detail::endForkedProcess(result.status);
    std::fflush(stdout);
    detail::finishRun(ctx, !exited);
    detail::setCurrentRun(nullptr);
    result.outcome = exited ? RunResult::Outcome::Exited : RunResult::Outcome::Returned;
    result.messages.insert(result.messages.end(), ctx.notes.begin(), ctx.notes.end());
    return result;
}

} // namespace scripthost
