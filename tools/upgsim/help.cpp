// The simulator's help, manual page and bash completion, all made from the
// one CLI11 description of the commands and options: `--help` (the command
// list and the notes), `--help-all` (also every command's options; help2man
// turns it into upgsim(1)) and `--completion bash` (the completion script).
#include "tools/upgsim/upgsim.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <memory>
#include <sstream>

namespace upgsim {

namespace {

// The notes after the command list. Indented lines are items ("tag" and
// text apart by two spaces or more); other lines are running text.
struct Note {
    const char *title;
    const char *text;
};
const Note k_notes[] = {
    {"Devices", "--sd, --media and --flash must name existing folders. A unit device that\n"
                "is not mounted does not exist: paths on it fail.\n"},
    {"Scripts", "A script's process (run, demo, sweep) reads and writes only the --sd and\n"
                "--flash folders (under run --scratch and sweep, the copies it runs on)\n"
                "and reads the --media folder; besides, it reads the system's libraries,\n"
                "time zone files, /dev/null, /dev/zero, /dev/urandom and its own /proc\n"
                "entry. It cannot reach any other file (not the card behind a copy),\n"
                "start a program, open a TCP connection or signal upgsim (Landlock; a\n"
                "kernel without it is said, and the script then runs unconfined). It is\n"
                "compiled first: its #include files are read as you read them.\n"},
    {"Documents", "docs/ of the source tree, share/doc/upgsim/ of the installation\n"
                  "(/usr/share/doc/upgsim for the package): cli.md, the command line;\n"
                  "medium.md, how to make a medium; json.md, the --json reports; and a\n"
                  "page for each command, which its --help names.\n"},
    {"Clock", "Every command runs the simulated clock at 6000 ticks per second unless\n"
              "--tick-hz N is given (the unit runs 60).\n"},
    {"Timeout", "run, demo and sweep's clean run stop a script that runs longer than\n"
                "600 s unless --timeout SECONDS is given (0: no limit); $UPGSIM_TIMEOUT\n"
                "sets another default.\n"},
    {"Exit status", "  0                       success\n"
                    "  1                       failure reported by the module; card in use\n"
                    "  2                       usage error (one line naming it)\n"
                    "  3                       check: the host cannot check (scratch room)\n"
                    "  0-123                   run, demo: the script's own status\n"
                    "  124                     run, demo: the timeout ran out\n"
                    "  125                     run, demo: usage error or failure of upgsim\n"
                    "  126                     run, demo: the script does not compile\n"
                    "  127                     run, demo: the script does not exist\n"
                    "  128+N                   ended by signal N (130 Ctrl-C, 143 SIGTERM)\n"},
    {"JSON", "--json (analyse, blocksize, check, config, copy, demo, install-pois,\n"
             "run, sweep, untar) prints one JSON object on standard output (run's\n"
             "holds the script's output); a failing command prints {\"error\":\n"
             "TEXT, \"code\": STATUS} there, with the same exit status (json.md,\n"
             "beside medium.md).\n"},
};

// The page of docs/ (installed in share/doc/upgsim/) for each command.
struct DocsPage {
    const char *command;
    const char *page;
};
const DocsPage k_docs_pages[] = {
    {"analyse", "docs/check.md"},    {"blocksize", "docs/cli.md"}, {"check", "docs/check.md"},
    {"config", "docs/config.md"},    {"copy", "docs/cli.md"},      {"demo", "docs/run.md"},
    {"install-pois", "docs/cli.md"}, {"pack", "docs/cli.md"},      {"run", "docs/run.md"},
    {"stamp", "docs/config.md"},     {"sweep", "docs/sweep.md"},   {"untar", "docs/cli.md"},
};

class HelpFormatter : public CLI::Formatter {
public:
    explicit HelpFormatter(std::string commandFooter)
        : m_command_footer(std::move(commandFooter)) {}

    std::string make_help(const CLI::App *app, std::string name,
                          CLI::AppFormatMode mode) const override {
        if (app->get_parent() == nullptr)
            m_all = mode == CLI::AppFormatMode::All;
        return CLI::Formatter::make_help(app, name, mode);
    }

    // --help-all: the list, then every command with its options under a
    // section of its own.
    std::string make_subcommands(const CLI::App *app, CLI::AppFormatMode mode) const override {
        if (mode != CLI::AppFormatMode::All)
            return CLI::Formatter::make_subcommands(app, mode);
        std::string out = CLI::Formatter::make_subcommands(app, CLI::AppFormatMode::Normal);
        out += "\n" + heading("Command options") +
               "Every command also takes the global options, before or after it.\n";
        for (const CLI::App *sub : app->get_subcommands({}))
            out += "\n" + commandBlock(sub);
        return out;
    }

    std::string make_footer(const CLI::App *app) const override {
        if (app->get_parent() != nullptr)
            return CLI::Formatter::make_footer(app);
        std::string out;
        for (const Note &note : k_notes)
            out += heading(note.title) + note.text + "\n";
        if (!m_all)
            out += "upgsim --help-all also shows every command's options.\n";
        return out;
    }

private:
    // "Title:" in --help; "*Title*", a section of the manual page for
    // help2man, in --help-all.
    std::string heading(const std::string &title) const {
        return m_all ? "*" + title + "*\n" : title + ":\n";
    }

    // "NAME:", its usage line with its summary, its positionals and options
    // (not the global ones nor --help), then its own notes.
    std::string commandBlock(const CLI::App *sub) const {
        std::ostringstream out;
        out << sub->get_name() << ":\n";
        std::string usage = make_usage(sub, "upgsim " + sub->get_name());
        usage = usage.substr(usage.find(':') + 2);
        usage.erase(usage.find_last_not_of('\n') + 1);
        CLI::detail::format_help(out, usage, sub->get_description(), column_width_);
        for (bool positional : {true, false})
            for (const CLI::Option *opt : sub->get_options()) {
                if (opt->get_positional() != positional || opt == sub->get_help_ptr() ||
                    opt->get_group().empty() || opt->get_group() == k_global_options_group)
                    continue;
                out << make_option(opt, positional);
            }
        // The footer every command shares is said once, in the notes.
        std::string footer = sub->get_footer();
        const std::size_t shared = footer.find(m_command_footer);
        if (!m_command_footer.empty() && shared != std::string::npos)
            footer.erase(shared, m_command_footer.size());
        if (!footer.empty())
            out << "\n" << footer;
        return out.str();
    }

    std::string m_command_footer;
    mutable bool m_all = false;
};

// How the completion completes a value, from its type name: DIR a folder;
// FILE (or a positional without a type, named after what it is) a file;
// "a|b" one of the words; others not at all.
enum class ValueKind { None, Folder, File, Words };

ValueKind valueKind(const CLI::Option *opt) {
    const std::string type = opt->get_type_name();
    if (type == "DIR")
        return ValueKind::Folder;
    if (type == "FILE" || (opt->get_positional() && type.empty()))
        return ValueKind::File;
    if (type.find('|') != std::string::npos)
        return ValueKind::Words;
    return ValueKind::None;
}

std::string join(const std::vector<std::string> &words) {
    std::string out;
    for (const std::string &w : words)
        out += (out.empty() ? "" : " ") + w;
    return out;
}

std::string caseLabel(const std::vector<std::string> &words) {
    std::string out;
    for (const std::string &w : words)
        out += (out.empty() ? "" : "|") + w;
    return out;
}

// The option names of `app` (both forms), and those that take a value of
// each kind.
struct OptionWords {
    std::vector<std::string> all, folder, file, other;
    // Adds `names` to `list`, leaving out those already there.
    static void addNew(std::vector<std::string> &list, const std::vector<std::string> &names) {
        for (const std::string &n : names)
            if (std::find(list.begin(), list.end(), n) == list.end())
                list.push_back(n);
    }
    void add(const CLI::App &app) {
        for (const CLI::Option *opt : app.get_options()) {
            if (opt->get_positional() || opt->get_group().empty())
                continue;
            std::vector<std::string> names;
            for (const std::string &n : opt->get_lnames())
                names.push_back("--" + n);
            for (const std::string &n : opt->get_snames())
                names.push_back("-" + n);
            addNew(all, names);
            if (opt->get_items_expected_max() == 0) // a flag
                continue;
            addNew(valueKind(opt) == ValueKind::Folder ? folder
                   : valueKind(opt) == ValueKind::File ? file
                                                       : other,
                   names);
        }
    }
};

// The completion function's start: the command, and how many positionals
// precede the word, where the value of any option of `app` or of its
// commands counts as neither.
void writeWordScan(std::ostream &out, const CLI::App &app, const OptionWords &global) {
    out << "# bash completion of upgsim, made by `upgsim --completion bash` from the\n"
           "# same definitions as its --help.\n"
           "_upgsim() {\n"
           "    local cur=${COMP_WORDS[COMP_CWORD]} prev=\n"
           "    [ \"$COMP_CWORD\" -gt 0 ] && prev=${COMP_WORDS[COMP_CWORD-1]}\n"
           "    local command= i word positional=0\n"
           "    COMPREPLY=()\n"
           // The command, and how many positionals precede the word.
           "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
           "        word=${COMP_WORDS[i]}\n"
           "        case $word in\n";
    // Every option that takes a value, of every command: its value is no
    // command and no positional.
    std::vector<std::string> valued;
    OptionWords every = global;
    for (const CLI::App *sub : app.get_subcommands({}))
        every.add(*sub);
    for (const auto *list : {&every.folder, &every.file, &every.other})
        OptionWords::addNew(valued, *list);
    out << "        " << caseLabel(valued) << ") ((i++)) ;;\n"
        << "        -*) ;;\n"
        << "        *) if [ -z \"$command\" ]; then command=$word; else ((positional++)); fi ;;\n"
        << "        esac\n"
        << "    done\n";
}

// The words known before the command: run and sweep hand everything after
// the script over to it, the global options, and the case of no command.
void writeGlobalWords(std::ostream &out, const OptionWords &global) {
    out << "    # run, sweep: everything after the script is the script's.\n"
        << "    if { [ \"$command\" = run ] || [ \"$command\" = sweep ]; } && [ \"$positional\" "
           "-gt 0 ]; then\n"
        << "        compopt -o default 2>/dev/null\n"
        << "        return 0\n"
        << "    fi\n"
        << "    local options=\"" << join(global.all) << "\"\n"
        << "    local folder_options=\"" << join(global.folder) << "\"\n"
        << "    local file_options=\"" << join(global.file) << "\"\n"
        << "    local other_options=\"" << join(global.other) << "\"\n"
        << "    local positionals=\n"
        << "    case $command in\n"
        << "    '') positionals=commands ;;\n";
}

// One command's case: its options (with the global ones) by the kind of
// their value, and the kind of each positional in order (the last repeats).
void writeCommandCase(std::ostream &out, const CLI::App &sub, const OptionWords &global) {
    OptionWords own = global;
    own.add(sub);
    std::vector<std::string> kinds;
    for (const CLI::Option *opt : sub.get_options()) {
        if (!opt->get_positional())
            continue;
        const ValueKind kind = valueKind(opt);
        const std::string name = kind == ValueKind::Folder  ? "folder"
                                 : kind == ValueKind::File  ? "file"
                                 : kind == ValueKind::Words ? "words:" + opt->get_type_name()
                                                            : "none";
        kinds.push_back(name);
        // Further values of the same positional (config's MODULE).
        const int more = std::min(opt->get_expected_max(), 2) - 1;
        for (int n = 0; n < more; ++n)
            kinds.push_back(kind == ValueKind::Words ? "none" : name);
    }
    if (sub.get_name() == "run" || sub.get_name() == "sweep")
        kinds.push_back("file"); // SCRIPT.c, left to the script's own parsing
    out << "    " << sub.get_name() << ")\n"
        << "        options=\"" << join(own.all) << "\"\n"
        << "        folder_options=\"" << join(own.folder) << "\"\n"
        << "        file_options=\"" << join(own.file) << "\"\n"
        << "        other_options=\"" << join(own.other) << "\"\n"
        << "        positionals=\"" << join(kinds) << "\" ;;\n";
}

// The completion of the word from what was gathered: an option's value, an
// option, or a positional of its kind (`commands`: the command names).
void writeCompletion(std::ostream &out, const std::vector<std::string> &commands) {
    out << "    *) return 0 ;;\n"
           "    esac\n"
           "    # The value of an option.\n"
           "    if [[ \" $folder_options \" == *\" $prev \"* ]]; then\n"
           "        compopt -o filenames 2>/dev/null\n"
           "        COMPREPLY=($(compgen -d -- \"$cur\"))\n"
           "        return 0\n"
           "    fi\n"
           "    if [[ \" $file_options \" == *\" $prev \"* ]]; then\n"
           "        compopt -o filenames 2>/dev/null\n"
           "        COMPREPLY=($(compgen -f -- \"$cur\"))\n"
           "        return 0\n"
           "    fi\n"
           "    [[ \" $other_options \" == *\" $prev \"* ]] && return 0\n"
           "    if [[ $cur == -* ]]; then\n"
           "        COMPREPLY=($(compgen -W \"$options\" -- \"$cur\"))\n"
           "        return 0\n"
           "    fi\n"
           "    local kinds=($positionals) kind\n"
           "    [ ${#kinds[@]} -eq 0 ] && return 0\n"
           "    kind=${kinds[positional]:-${kinds[${#kinds[@]}-1]}}\n"
           "    case $kind in\n"
           "    commands) COMPREPLY=($(compgen -W \""
        << join(commands)
        << "\" -- \"$cur\")) ;;\n"
           "    folder) compopt -o filenames 2>/dev/null; COMPREPLY=($(compgen -d -- \"$cur\")) "
           ";;\n"
           "    file) compopt -o filenames 2>/dev/null; COMPREPLY=($(compgen -f -- \"$cur\")) ;;\n"
           "    words:*) kind=${kind#words:}; COMPREPLY=($(compgen -W \"${kind//|/ }\" -- "
           "\"$cur\")) ;;\n"
           "    esac\n"
           "    return 0\n"
           "}\n"
           "complete -F _upgsim upgsim\n";
}

} // namespace

const char k_global_options_group[] = "Global options";

const char *docsPage(const std::string &command) {
    for (const DocsPage &entry : k_docs_pages)
        if (command == entry.command)
            return entry.page;
    return nullptr;
}

std::shared_ptr<CLI::Formatter> makeHelpFormatter(const std::string &commandFooter) {
    return std::make_shared<HelpFormatter>(commandFooter);
}

std::string bashCompletion(const CLI::App &app) {
    OptionWords global;
    global.add(app);
    std::vector<std::string> commands;
    for (const CLI::App *sub : app.get_subcommands({}))
        commands.push_back(sub->get_name());

    std::ostringstream out;
    writeWordScan(out, app, global);
    writeGlobalWords(out, global);
    for (const CLI::App *sub : app.get_subcommands({}))
        writeCommandCase(out, *sub, global);
    writeCompletion(out, commands);
    return out.str();
}

} // namespace upgsim
