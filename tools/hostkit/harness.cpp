// The tools' harness: readying the simulated unit, the module in this
// process against a card, and script runs in a child process.
#include "tools/hostkit/harness.h"

#include "platform/hostsim/hostsim.h"
#include "unit/unit.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace hostkit {

void readyUnit(const UnitSetup &setup) {
    hostsim::resetAll();
    if (setup.tickHz > 0)
        hostsim::setTickRate(setup.tickHz);
    if (!setup.sd.empty())
        hostsim::mountDevice("/SDH", setup.sd, setup.sdBlockSize);
    if (setup.sdCapacity >= 0)
        hostsim::setDeviceCapacity("/SDH", setup.sdCapacity);
    if (!setup.flash.empty())
        hostsim::mountDevice("/F", setup.flash);
    if (!setup.media.empty())
        hostsim::mountDevice("/DVD", setup.media);
    hostsim::captureLog(true);
    unit::installAll();
}

int onCard(const std::string &card, long blockSize, const std::function<int()> &body) {
    hostsim::mountDevice("/SDH", card, blockSize);
    const int result = body();
    hostsim::unmountDevice("/SDH");
    return result;
}

ScriptRun runScript(const ScriptJob &job) {
    if (!job.card.empty())
        hostsim::mountDevice("/SDH", job.card, job.blockSize);
    // The child's log starts empty: the error lines it prints are its own.
    hostsim::clearCapturedLog();
    scripthost::ChildOptions childOptions;
    childOptions.timeoutSeconds = job.timeoutSeconds;
    childOptions.out = job.out;
    childOptions.capture = job.capture;
    scripthost::RunOptions runOptions;
    runOptions.args = job.args;
    ScriptRun run;
    run.end = scripthost::runInChild(
        [&](int reportFd) {
            hostsim::traceBuiltinCalls(job.traceCalls);
            const int rc = scripthost::runScriptHere(job.script, runOptions, job.progress, reportFd,
                                                     job.power);
            if (job.cutAtEnd) {
                // The run's trace ended with it: the lost writes of the cut
                // are traced too.
                hostsim::traceStateOps(job.power.traceFd);
                hostsim::cutPowerNow();
            }
            return rc;
        },
        childOptions);
    const std::vector<std::string> status = scripthost::reportValues(run.end.report, "status");
    const std::vector<std::string> ops = scripthost::reportValues(run.end.report, "ops");
    switch (run.end.how) {
    case scripthost::ChildEnd::How::Exited:
        if (!status.empty()) {
            run.ran = true;
            run.status = std::atoi(status.back().c_str());
            if (!ops.empty())
                run.ops = std::strtoull(ops.back().c_str(), nullptr, 10);
            run.cut = job.cutAtEnd && run.end.code == hostsim::kPowerCutExitStatus;
        } else if (run.end.code == hostsim::kPowerCutExitStatus && job.power.cutAt != 0) {
            run.cut = true;
        } else if (run.end.code == scripthost::k_exit_not_compiled) {
            run.failure = "did not compile or link";
        } else {
            run.failure =
                "ended with status " + std::to_string(run.end.code) + " before the script ran";
        }
        break;
    case scripthost::ChildEnd::How::Signaled:
        run.failure = "ended by signal " + std::to_string(run.end.code) + " (" +
                      scripthost::signalName(run.end.code) + ")";
        break;
    case scripthost::ChildEnd::How::TimedOut:
        run.failure = "was still running after " + std::to_string(job.timeoutSeconds) + " s";
        break;
    case scripthost::ChildEnd::How::Interrupted:
        run.failure = "was interrupted by " + scripthost::signalName(run.end.code);
        break;
    case scripthost::ChildEnd::How::NotStarted:
        run.failure = std::string("could not be started: ") + std::strerror(errno);
        break;
    }
    return run;
}

std::string bundledScript(const std::string &name, const std::string &folder) {
    const char *text = scripthost::bundledText(name.c_str());
    if (text == nullptr || folder.empty())
        return std::string();
    const std::string path = folder + "/" + name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    return out ? path : std::string();
}

} // namespace hostkit
