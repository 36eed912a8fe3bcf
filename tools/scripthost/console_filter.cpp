// Console filter: standard output through a pipe, line by line, to the
// terminal (after the bargraph's line) or, for the extraction listing, to a
// file.
#include "tools/scripthost/console_filter.h"

#include "unit/hmi.h"

#include <unistd.h>

namespace scripthost {

namespace {

const char k_listing_prefix[] = "(UntarBlock) ";

} // namespace

ConsoleFilter::ConsoleFilter(FILE *destination, bool progress, const std::string &listingPath)
    : m_destination(destination), m_progress(progress), m_listingPath(listingPath) {}

ConsoleFilter::~ConsoleFilter() {
    stop();
}

bool ConsoleFilter::start() {
    if (m_saved >= 0)
        return false;
    int fds[2];
    std::fflush(stdout);
    if (pipe(fds) != 0)
        return false;
    m_saved = dup(STDOUT_FILENO);
    if (m_saved < 0 || dup2(fds[1], STDOUT_FILENO) < 0) {
        close(fds[0]);
        close(fds[1]);
        if (m_saved >= 0)
            close(m_saved);
        m_saved = -1;
        return false;
    }
    close(fds[1]);
    if (m_destination == nullptr) {
        int terminalFd = dup(m_saved);
        m_terminal = terminalFd >= 0 ? fdopen(terminalFd, "w") : nullptr;
    }
    if (!m_listingPath.empty())
        m_listing = std::fopen(m_listingPath.c_str(), "w");
    m_reader = std::thread([this, fd = fds[0]] { pump(fd); });
    return true;
}

void ConsoleFilter::stop() {
    if (m_saved < 0)
        return;
    std::fflush(stdout);
    dup2(m_saved, STDOUT_FILENO); // closes the pipe's last writer: the reader ends
    close(m_saved);
    m_saved = -1;
    m_reader.join();
    if (m_listing != nullptr)
        std::fclose(m_listing);
    m_listing = nullptr;
    if (m_terminal != nullptr)
        std::fclose(m_terminal);
    m_terminal = nullptr;
}

void ConsoleFilter::pump(int fd) {
    std::string pending;
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        pending.append(buf, static_cast<std::size_t>(n));
        std::size_t nl;
        while ((nl = pending.find('\n')) != std::string::npos) {
            line(pending.substr(0, nl + 1));
            pending.erase(0, nl + 1);
        }
    }
    if (!pending.empty())
        line(pending + "\n");
    close(fd);
}

void ConsoleFilter::line(const std::string &text) {
    if (m_listing != nullptr &&
        text.compare(0, sizeof k_listing_prefix - 1, k_listing_prefix) == 0) {
        ++m_listed;
        std::fputs(text.c_str(), m_listing);
        return;
    }
    if (m_progress) {
        unit::setBargraphOnTerminal(false); // ends a drawn bar line
        unit::setBargraphOnTerminal(true);
    }
    FILE *to = m_destination != nullptr ? m_destination : m_terminal;
    if (to != nullptr) {
        std::fputs(text.c_str(), to);
        std::fflush(to);
    }
}

} // namespace scripthost
