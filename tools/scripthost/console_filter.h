// Console filter of the simulator: while a script runs, standard output (the
// script's printf and the module's console, such as the extractor's listing)
// passes through a pipe so that each line reaches the terminal after the
// bargraph's line has been ended, instead of being glued to the bar. The
// extraction listing ("(UntarBlock) ./file", one line per extracted file) can
// be sent to a file instead of the terminal.
#ifndef TOOLS_SCRIPTHOST_CONSOLE_FILTER_H
#define TOOLS_SCRIPTHOST_CONSOLE_FILTER_H

#include <cstdio>
#include <string>
#include <thread>

namespace scripthost {

class ConsoleFilter {
public:
    // destination: where the lines go; null: the terminal (or file) that
    // standard output was. progress: the bargraph is drawn on the terminal.
    // listingPath: file for the extraction listing; empty: the listing goes
    // with the other lines.
    ConsoleFilter(FILE *destination, bool progress, const std::string &listingPath);
    ~ConsoleFilter();
    ConsoleFilter(const ConsoleFilter &) = delete;
    ConsoleFilter &operator=(const ConsoleFilter &) = delete;

    // Redirects standard output into the filter. False (nothing changed) when
    // the pipe cannot be made. Caller's thread; not while another filter runs.
    bool start();
    // Restores standard output and waits until every line is passed on.
    void stop();
    // Listing lines sent to the listing file (valid after stop()).
    unsigned long listed() const { return m_listed; }

private:
    void pump(int fd);
    void line(const std::string &text);

    FILE *m_destination;
    bool m_progress;
    std::string m_listingPath;
    FILE *m_terminal = nullptr; // the terminal that standard output was
    int m_saved = -1;           // standard output's descriptor while redirected
    FILE *m_listing = nullptr;
    std::thread m_reader;
    unsigned long m_listed = 0; // written by the reader, read after it is joined
};

} // namespace scripthost

#endif
