// The command line's errors in the simulator's own words: CLI11's messages
// ("At Most 1 required but received 2", "Could not convert: ...") rewritten
// to say what is wrong and what to do, with a "did you mean" for a mistyped
// command or option; and the checks of values that CLI11 has no validator
// for (a card's block size, a list of them, a non-empty text).
#include "tools/upgsim/upgsim.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
// GCC's maybe-uninitialized analysis reports a false positive inside
// libstdc++'s <regex> (std::function in its automaton) at -O1, the
// sanitizer builds' level.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#pragma GCC diagnostic pop

namespace upgsim {

namespace {

// Edit distance (insertions, deletions, substitutions, and a swap of two
// neighbours counted as one) between two short words.
std::size_t distance(const std::string &a, const std::string &b) {
    const std::size_t n = a.size(), m = b.size();
    std::vector<std::vector<std::size_t>> d(n + 1, std::vector<std::size_t>(m + 1, 0));
    for (std::size_t i = 0; i <= n; ++i)
        d[i][0] = i;
    for (std::size_t j = 0; j <= m; ++j)
        d[0][j] = j;
    for (std::size_t i = 1; i <= n; ++i)
        for (std::size_t j = 1; j <= m; ++j) {
            const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[n][m];
}

// The closest of `candidates` to `word` when it is close enough to be a
// typing slip (or `word` is the start of exactly that one); empty otherwise.
std::string closest(const std::string &word, const std::vector<std::string> &candidates) {
    std::string best;
    std::size_t bestDistance = std::string::npos;
    for (const std::string &c : candidates) {
        const std::size_t d = distance(word, c);
        if (d < bestDistance) {
            bestDistance = d;
            best = c;
        }
    }
    const std::size_t allowed = std::max<std::size_t>(1, word.size() / 3);
    if (bestDistance <= allowed)
        return best;
    std::vector<std::string> starting;
    for (const std::string &c : candidates)
        if (word.size() >= 3 && c.compare(0, word.size(), word) == 0)
            starting.push_back(c);
    return starting.size() == 1 ? starting.front() : std::string();
}

// Every long option name ("--sd") of `app`.
void optionNames(const CLI::App &app, std::vector<std::string> &names) {
    for (const CLI::Option *opt : app.get_options()) {
        if (opt->get_positional())
            continue;
        for (const std::string &n : opt->get_lnames())
            names.push_back("--" + n);
    }
}

// The first of the words CLI11 did not expect: an option before anything
// else (a stray value usually follows a mistyped option).
std::string firstUnexpected(const std::string &list) {
    std::vector<std::string> words;
    std::size_t at = 0;
    while (at < list.size()) {
        std::size_t end = list.find(' ', at);
        if (end == std::string::npos)
            end = list.size();
        if (end > at)
            words.push_back(list.substr(at, end - at));
        at = end + 1;
    }
    for (const std::string &w : words)
        if (w.size() > 1 && w[0] == '-')
            return w;
    return words.empty() ? std::string() : words.front();
}

bool isNumber(const std::string &text) {
    std::size_t at = text[0] == '-' || text[0] == '+' ? 1 : 0;
    return at < text.size() && std::all_of(text.begin() + static_cast<long>(at), text.end(),
                                           [](unsigned char c) { return std::isdigit(c) != 0; });
}

} // namespace

std::string parseErrorMessage(const std::string &what, const CLI::App &app,
                              const CLI::App *command) {
    const std::string where = command != nullptr ? command->get_name() + ": " : std::string();
    const std::string help = command != nullptr ? " (see upgsim " + command->get_name() + " --help)"
                                                : std::string(" (see upgsim --help)");
    std::smatch m;
    static const std::regex unexpected(
        R"(The following arguments? (?:was|were) not expected: (.*))");
    if (std::regex_search(what, m, unexpected)) {
        const std::string word = firstUnexpected(m[1]);
        if (word.size() > 1 && word[0] == '-') {
            std::vector<std::string> names;
            optionNames(app, names);
            if (command != nullptr)
                optionNames(*command, names);
            const std::string stem = word.substr(0, word.find('='));
            const std::string guess = closest(stem, names);
            return where + "unknown option '" + word + "'" +
                   (guess.empty() ? help : " (did you mean " + guess + "?)");
        }
        if (command == nullptr) {
            std::vector<std::string> commands;
            for (const CLI::App *sub : app.get_subcommands({}))
                commands.push_back(sub->get_name());
            const std::string guess = closest(word, commands);
            return "unknown command '" + word + "'" +
                   (guess.empty() ? help : " (did you mean " + guess + "?)");
        }
        return where + "unexpected argument '" + word + "'" + help;
    }
    static const std::regex atMost(R"((\S+): At Most (\d+) required but received (\d+))");
    if (std::regex_search(what, m, atMost))
        return where + "too many values for " + m[1].str() + " (at most " + m[2].str() + ")" + help;
    static const std::regex required(R"(^(\S+) is required)");
    if (std::regex_search(what, m, required))
        return where + m[1].str() + " is missing" + help;
    static const std::regex needsValue(R"(^(\S+): \d+ required (\S+) missing)");
    if (std::regex_search(what, m, needsValue))
        return m[1].str() + " needs a value (" + m[2].str() + ")" + help;
    static const std::regex convert(R"(Could not convert: (\S+) = (.*))");
    if (std::regex_search(what, m, convert))
        return m[1].str() + ": '" + m[2].str() + "' is not a number";
    static const std::regex range(R"(^(\S+): Value (.*) not in range (\S+) to (\S+))");
    if (std::regex_search(what, m, range)) {
        const std::string value = m[2];
        if (value.empty() || !isNumber(value))
            return m[1].str() + ": '" + value + "' is not a number";
        return m[1].str() + ": " + value + " is out of range (" + m[3].str() + " to " + m[4].str() +
               ")";
    }
    // An option's value refused by its check says what is wrong already.
    if (what.compare(0, 2, "--") == 0)
        return what;
    return what + help;
}

std::string unknownCommandMessage(const std::vector<std::string> &args, const CLI::App &app) {
    std::vector<std::string> commands;
    for (const CLI::App *sub : app.get_subcommands({}))
        commands.push_back(sub->get_name());
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &word = args[i];
        if (word == "--")
            return std::string();
        if (word.size() > 1 && word[0] == '-') {
            // A global option (its value follows unless given with '='); an
            // option the simulator does not know is the error to report.
            const std::string name = word.substr(0, word.find('='));
            const CLI::Option *opt = nullptr;
            for (const CLI::Option *o : app.get_options())
                if (!o->get_positional() && o->check_name(name))
                    opt = o;
            if (opt == nullptr)
                return std::string();
            if (opt->get_items_expected_max() > 0 && word.find('=') == std::string::npos)
                ++i;
            continue;
        }
        if (std::find(commands.begin(), commands.end(), word) != commands.end())
            return std::string();
        const std::string guess = closest(word, commands);
        return "unknown command '" + word + "'" +
               (guess.empty() ? " (see upgsim --help)" : " (did you mean " + guess + "?)");
    }
    return std::string();
}

std::string checkBlockSize(long value) {
    if (value < k_min_block_size || value > k_max_block_size || (value & (value - 1)) != 0)
        return std::to_string(value) + " is not a card's block size (a power of two from " +
               std::to_string(k_min_block_size) + " to " + std::to_string(k_max_block_size) + ")";
    return std::string();
}

std::string parseBlockSizes(const std::string &text, std::vector<long> &sizes) {
    sizes.clear();
    std::size_t at = 0;
    while (true) {
        std::size_t end = text.find(',', at);
        if (end == std::string::npos)
            end = text.size();
        const std::string item = text.substr(at, end - at);
        if (item.empty())
            return "'" + text + "' has an empty item (a list is SIZE,SIZE,...)";
        if (!isNumber(item) || item.size() > 9)
            return "'" + item + "' is not a number";
        const long value = std::stol(item);
        const std::string problem = checkBlockSize(value);
        if (!problem.empty())
            return problem;
        sizes.push_back(value);
        if (end == text.size())
            break;
        at = end + 1;
    }
    std::sort(sizes.begin(), sizes.end());
    sizes.erase(std::unique(sizes.begin(), sizes.end()), sizes.end());
    return std::string();
}

CLI::Validator nonEmpty() {
    return CLI::Validator(
        [](std::string &value) {
            return value.empty() ? std::string("must not be empty") : std::string();
        },
        "", "non-empty");
}

CLI::Validator blockSize() {
    return CLI::Validator(
        [](std::string &value) {
            if (!isNumber(value) || value.size() > 9)
                return "'" + value + "' is not a number";
            return checkBlockSize(std::stol(value));
        },
        "", "block size");
}

} // namespace upgsim
