// The sweep's report: false claims grouped by range of k, failed re-runs,
// cards that did not converge, changes outside the clean run's paths and a
// timeline of what the card claims, as text and as JSON; each group named by
// where in the script its cuts lie (the builtin call and its file and line).
#include "tools/sweep/sweep.h"

#include "tools/hostkit/names.h"
#include "tools/mediacheck/mediacheck.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <sstream>
#include <tuple>
#include <utility>

namespace sweep {

namespace {

using Json = nlohmann::ordered_json;

// Files named per group in the text; the JSON lists them all.
const std::size_t k_files_shown = 4;

// A run of cuts, adjacent in the order swept, that share one finding.
struct Group {
    uint64_t from = 0, to = 0;
    unsigned count = 0;
    std::size_t lastIndex = 0;        // index in report.cuts of its last cut
    std::string after;                // "cut" or "second cut"
    ClaimCheck check;                 // the first cut's
    const CutResult *first = nullptr; // the group's first cut
    std::string what;                 // failed re-runs, changes outside: the finding
    std::vector<std::string> paths;
};

// Adds cut number `index` (k) to the group of `key`, extending the group that
// ended at the cut before, or starting one.
template <typename Key>
Group &addToGroup(std::map<Key, std::size_t> &open, std::vector<Group> &groups, const Key &key,
                  std::size_t index, uint64_t k) {
    auto it = open.find(key);
    if (it != open.end() && groups[it->second].lastIndex + 1 == index) {
        Group &g = groups[it->second];
        g.to = k;
        g.lastIndex = index;
        ++g.count;
        return g;
    }
    Group g;
    g.from = g.to = k;
    g.count = 1;
    g.lastIndex = index;
    groups.push_back(g);
    open[key] = groups.size() - 1;
    return groups.back();
}

void sortGroups(std::vector<Group> &groups) {
    std::stable_sort(groups.begin(), groups.end(),
                     [](const Group &a, const Group &b) { return a.from < b.from; });
}

// False claims grouped by what is claimed: the files of a group are every
// file that disagreed at one of its cuts, as the first such cut saw it.
std::vector<Group> falseClaimGroups(const SweepReport &r) {
    typedef std::tuple<std::string, std::string, std::string> Key;
    std::map<Key, std::size_t> open;
    std::vector<Group> groups;
    std::vector<std::map<std::string, Mismatch>> files;
    for (std::size_t i = 0; i < r.cuts.size(); ++i) {
        const CutResult &c = r.cuts[i];
        for (int phase = 0; phase < 2; ++phase) {
            for (const ClaimCheck &check : phase == 0 ? c.claims : c.secondClaims) {
                if (check.holds)
                    continue;
                const std::string after = phase == 0 ? "cut" : "second cut";
                Key key(after, claimText(check.claim), check.reference);
                Group &g = addToGroup(open, groups, key, i, c.k);
                if (g.count == 1) {
                    g.after = after;
                    g.check = check;
                    g.first = &c;
                    files.emplace_back();
                }
                std::map<std::string, Mismatch> &seen = files[open[key]];
                for (const Mismatch &m : check.mismatches)
                    seen.emplace(m.path, m);
            }
        }
    }
    for (std::size_t i = 0; i < groups.size(); ++i) {
        groups[i].check.mismatches.clear();
        for (const auto &f : files[i])
            groups[i].check.mismatches.push_back(f.second);
    }
    sortGroups(groups);
    return groups;
}

// Groups of cuts sharing `finding(cut)` (empty: none at that cut).
std::vector<Group>
groupsBy(const SweepReport &r, const std::function<std::string(const CutResult &)> &finding,
         const std::function<std::vector<std::string>(const CutResult &)> &paths) {
    std::map<std::string, std::size_t> open;
    std::vector<Group> groups;
    for (std::size_t i = 0; i < r.cuts.size(); ++i) {
        const std::string what = finding(r.cuts[i]);
        if (what.empty())
            continue;
        Group &g = addToGroup(open, groups, what, i, r.cuts[i].k);
        if (g.count == 1) {
            g.what = what;
            g.paths = paths(r.cuts[i]);
        }
    }
    sortGroups(groups);
    return groups;
}

std::string failedRerun(const CutResult &c) {
    return c.error.empty() && !c.rerunOk ? "the re-run " + c.rerunFailure : std::string();
}
std::string notConverged(const CutResult &c) {
    if (!c.error.empty() || !c.rerunOk || c.converged)
        return std::string();
    std::string key;
    for (const Mismatch &m : c.finalMismatches)
        key += m.path + "\n";
    return key;
}
std::string outside(const CutResult &c) {
    std::string key;
    for (const std::string &p : c.changedOutside)
        key += p + "\n";
    return key;
}
std::string notCut(const CutResult &c) {
    return c.error.empty() && !c.cut ? "not cut" : std::string();
}
std::string hostError(const CutResult &c) {
    return c.error;
}
std::vector<std::string> finalFiles(const CutResult &c) {
    std::vector<std::string> out;
    for (const Mismatch &m : c.finalMismatches)
        out.push_back(describe(m));
    return out;
}
std::vector<std::string> outsidePaths(const CutResult &c) {
    std::vector<std::string> out;
    for (const std::string &p : c.changedOutside)
        out.push_back(hostkit::printable(p));
    return out;
}
std::vector<std::string> stderrLines(const CutResult &c) {
    std::vector<std::string> lines;
    std::istringstream in(c.rerunStderr);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty())
            lines.push_back(line);
    return lines;
}

std::vector<Group> timeline(const SweepReport &r) {
    return groupsBy(
        r, [](const CutResult &c) { return claimsAfter(c); },
        [](const CutResult &c) {
            return std::vector<std::string>{
                c.done.empty() ? std::string() : c.done + " (" + callText(c.call, c.site) + ")"};
        });
}

std::string range(const Group &g) {
    std::string text = "k " + std::to_string(g.from);
    if (g.to != g.from)
        text += "-" + std::to_string(g.to);
    return text + " (" + std::to_string(g.count) + (g.count == 1 ? " cut)" : " cuts)");
}

// ", <where the group's cuts lie>", or empty when the report cannot say.
std::string where(const SweepReport &r, const Group &g) {
    const std::string place = placeText(r, g.from, g.to);
    return place.empty() ? std::string() : ", " + hostkit::printable(place);
}

// The cut point a group's first cut can be replayed with ("--cut 5", "--cut 5,12").
std::string replayOf(const CutResult &c) {
    return "--cut " + std::to_string(c.k) +
           (c.secondCut > 0 ? "," + std::to_string(c.secondCut) : "");
}

// The operation that made a false claim: the last one done before the cut
// (of the re-run, after a second cut), with its builtin call.
std::string madeBy(const Group &g) {
    const CutResult &c = *g.first;
    const std::string &done = g.after == "cut" ? c.done : c.secondDone;
    if (done.empty())
        return "no operation done before the cut";
    std::string text = "last done before the cut: " + hostkit::printable(done);
    if (g.after == "cut")
        text += " (" + hostkit::printable(callText(c.call, c.site)) + ")";
    else
        text += " (in the re-run)";
    return text;
}

// The files behind a false claim that the cut's lost writes cut short: the
// data was written but not synced when the power went.
std::vector<LostFile> lostBehind(const Group &g) {
    const std::vector<LostFile> &lost = g.after == "cut" ? g.first->lost : g.first->secondLost;
    std::vector<LostFile> out;
    for (const LostFile &l : lost)
        for (const Mismatch &m : g.check.mismatches)
            if (m.path == l.path) {
                out.push_back(l);
                break;
            }
    return out;
}

std::string lostText(const LostFile &l, const Group &g) {
    const std::string &done = g.after == "cut" ? g.first->done : g.first->secondDone;
    return "unsynced data of " + hostkit::printable(l.path) + " lost at the cut (" +
           std::to_string(l.kept) + " of " + std::to_string(l.size) + " bytes kept): a sync of " +
           hostkit::printable(l.path) + " before '" + hostkit::printable(done) +
           "' would have kept it";
}

std::string claimsLine(const std::vector<Claim> &claims) {
    std::string text;
    for (const Claim &c : claims)
        text += (text.empty() ? "" : ", ") + claimText(c);
    return text.empty() ? "(no claim)" : text;
}

// How texts of the card and of the runs (bytes, not always UTF-8) become
// JSON strings: the caller's converter, or the bytes as they are.
std::function<std::string(const std::string &)> g_text;
std::string T(const std::string &text) {
    return g_text ? g_text(text) : text;
}

Json claimJson(const Claim &c) {
    const char *kind = c.kind == Claim::Country ? "country"
                       : c.kind == Claim::Poi   ? "poi"
                                                : "staged_poi";
    return Json{{"kind", kind}, {"subject", T(c.subject)}, {"version", T(c.version)}};
}

Json claimsJson(const std::vector<Claim> &claims) {
    Json a = Json::array();
    for (const Claim &c : claims)
        a.push_back(claimJson(c));
    return a;
}

Json mismatchJson(const Mismatch &m) {
    const char *kind = m.kind == Mismatch::Missing ? "missing"
                       : m.kind == Mismatch::Extra ? "extra"
                                                   : "differs";
    Json j{{"path", T(m.path)}, {"state", kind}};
    if (!hostkit::isUtf8(m.path))
        j["path_raw"] = hostkit::escapedBytes(m.path);
    if (m.kind != Mismatch::Missing)
        j["size"] = m.size;
    if (m.kind != Mismatch::Extra)
        j["expected_size"] = m.expected;
    return j;
}

Json rangeJson(const Group &g) {
    return Json{{"from", g.from}, {"to", g.to}, {"cuts", g.count}};
}

const char *verdictOf(const SweepReport &r) {
    return r.passed() ? "passed" : !r.clean() ? "failed" : "not_a_proof";
}

// "no false claim in 40 of 4603 cuts: not a proof".
std::string notAProof(const SweepReport &r) {
    return "no false claim in " + std::to_string(r.cuts.size()) + " of " +
           std::to_string(r.planned) + " cuts: not a proof";
}

// The part of `chosen` before the shard's note: how the unsharded sweep
// chose its cuts.
std::string unshardedChoice(const std::string &chosen) {
    const std::size_t at = chosen.find(", shard ");
    return at == std::string::npos ? chosen : chosen.substr(0, at);
}

Json claimsRaw(const std::vector<Claim> &claims) {
    Json a = Json::array();
    for (const Claim &c : claims)
        a.push_back({static_cast<int>(c.kind), c.subject, c.version});
    return a;
}
std::vector<Claim> claimsFromRaw(const Json &a) {
    std::vector<Claim> claims;
    for (const Json &c : a) {
        Claim claim;
        claim.kind = static_cast<Claim::Kind>(c.at(0).get<int>());
        claim.subject = c.at(1).get<std::string>();
        claim.version = c.at(2).get<std::string>();
        claims.push_back(claim);
    }
    return claims;
}

// What a merge needs of a shard: the sweep's header and every cut's result.
Json encodeShard(const SweepReport &r) {
    Json phases = Json::array();
    for (const Phase &p : r.phases)
        phases.push_back({p.call, p.first, p.last, p.site});
    Json results = Json::array();
    for (const CutResult &c : r.cuts)
        results.push_back(Json::parse(encodeCut(c), nullptr, false));
    return Json{{"index", r.shardIndex},
                {"count", r.shardCount},
                {"script", r.script},
                {"args", r.args},
                {"operations", r.operations},
                {"clean_status", r.cleanStatus},
                {"clean_seconds", r.cleanSeconds},
                {"before", claimsRaw(r.beforeClaims)},
                {"clean", claimsRaw(r.cleanClaims)},
                {"lost_writes", r.lostWrites},
                {"double", r.doubleCut},
                {"second_cuts", r.secondCuts},
                {"seed", r.seed},
                {"from_final", r.fromFinal},
                {"medium", r.mediumNote},
                {"phases", phases},
                {"planned", r.planned},
                {"chosen", unshardedChoice(r.chosen)},
                {"accept_sample", r.acceptSample},
                {"digests", {r.scriptDigest, r.cardDigest, r.mediumDigest}},
                {"card_changed", r.cardChanged},
                {"error", r.error},
                {"jobs", r.jobs},
                {"seconds", r.seconds},
                {"results", results}};
}

// The header fields two shards of one sweep share.
const char *const k_shared_fields[] = {"count",       "script",  "args",        "operations",
                                       "lost_writes", "double",  "second_cuts", "seed",
                                       "from_final",  "planned", "chosen",      "digests"};

// The phase holding operation k (the end phase for k = N + 1), or
// phases.size() when none does.
std::size_t phaseIndex(const std::vector<Phase> &phases, uint64_t k) {
    auto it = std::upper_bound(phases.begin(), phases.end(), k,
                               [](uint64_t v, const Phase &p) { return v < p.first; });
    if (it == phases.begin())
        return phases.size();
    --it;
    return k <= it->last ? static_cast<std::size_t>(it - phases.begin()) : phases.size();
}

// A builtin call's phase: neither the script's own operations nor the end.
bool isCall(const Phase &p) {
    return !p.call.empty() && p.first <= p.last && p.call != k_end_phase;
}

// Where a cut before an operation of phase i lies.
std::string placeOfPhase(const std::vector<Phase> &phases, std::size_t i) {
    const Phase &p = phases[i];
    if (isCall(p))
        return "during " + callText(p.call, p.site);
    if (!p.call.empty())
        return phaseText(p.call); // the end: "after the last operation"
    // The script's own operations: between the calls beside them (two own
    // phases are never adjacent).
    const Phase *before = i > 0 && isCall(phases[i - 1]) ? &phases[i - 1] : nullptr;
    const Phase *next = i + 1 < phases.size() && isCall(phases[i + 1]) ? &phases[i + 1] : nullptr;
    if (before == nullptr && next == nullptr)
        return "among the script's own operations";
    std::string text;
    if (before != nullptr)
        text = "after " + callText(before->call, before->site);
    if (next != nullptr)
        text += (text.empty() ? "before " : ", before ") + callText(next->call, next->site);
    return text;
}

// One end of a range of cuts that spans phases, as "from ... to ..." names
// it: a call by itself ("UnCompress (call 12) at a.c:147"), the script's own
// operations by the call the range leaves from ("after UPGCopy (call 9)") or
// goes up to ("before UnCompress (call 12)").
std::string rangeEnd(const std::vector<Phase> &phases, std::size_t i, bool start) {
    const Phase &p = phases[i];
    if (isCall(p))
        return callText(p.call, p.site);
    if (!p.call.empty())
        return phaseText(p.call);
    const Phase *before = i > 0 && isCall(phases[i - 1]) ? &phases[i - 1] : nullptr;
    const Phase *next = i + 1 < phases.size() && isCall(phases[i + 1]) ? &phases[i + 1] : nullptr;
    if (start && before != nullptr)
        return "after " + callText(before->call, before->site);
    if (!start && next != nullptr)
        return "before " + callText(next->call, next->site);
    if (start)
        return "the script's start";
    return before != nullptr ? "after " + callText(before->call, before->site)
                             : "the script's own operations";
}

} // namespace

std::string claimsAfter(const CutResult &cut) {
    if (!cut.error.empty())
        return "(not played)";
    if (cut.claims.empty())
        return "(no claim)";
    std::string text;
    for (const ClaimCheck &c : cut.claims) {
        if (!text.empty())
            text += ", ";
        text += claimText(c.claim) + (c.holds ? "" : " (FALSE)");
    }
    return text;
}

std::string placeText(const SweepReport &r, uint64_t from, uint64_t to) {
    if (from > to)
        std::swap(from, to);
    const std::size_t a = phaseIndex(r.phases, from), b = phaseIndex(r.phases, to);
    if (a >= r.phases.size() || b >= r.phases.size())
        return std::string();
    if (a == b)
        return placeOfPhase(r.phases, a);
    return "from " + rangeEnd(r.phases, a, true) + " to " + rangeEnd(r.phases, b, false);
}

bool mergeShards(const std::vector<std::string> &jsonTexts, SweepReport &merged,
                 std::string &error) {
    merged = SweepReport();
    std::vector<Json> shards;
    for (std::size_t i = 0; i < jsonTexts.size(); ++i) {
        Json j = Json::parse(jsonTexts[i], nullptr, false);
        if (j.is_discarded() || !j.is_object() || !j.contains("shard") || !j["shard"].is_object()) {
            error = "report " + std::to_string(i + 1) +
                    " is no shard's JSON report (upgsim sweep --shard I/N --json)";
            return false;
        }
        shards.push_back(j["shard"]);
    }
    if (shards.empty()) {
        error = "no report to merge";
        return false;
    }
    try {
        const Json &first = shards.front();
        const unsigned count = first.at("count").get<unsigned>();
        std::vector<bool> seen(count + 1, false);
        std::map<CutPoint, CutResult> cuts;
        for (std::size_t i = 0; i < shards.size(); ++i) {
            const Json &sh = shards[i];
            for (const char *field : k_shared_fields)
                if (sh.at(field) != first.at(field)) {
                    error = "report " + std::to_string(i + 1) + " is of another sweep: its " +
                            field + " differs from the first report's";
                    return false;
                }
            const unsigned index = sh.at("index").get<unsigned>();
            if (index == 0 || index > count || seen[index]) {
                error = "shard " + std::to_string(index) + "/" + std::to_string(count) +
                        (index == 0 || index > count ? " is out of range" : " is given twice");
                return false;
            }
            seen[index] = true;
            for (const Json &c : sh.at("results")) {
                CutResult r;
                if (!decodeCut(c.dump(), r)) {
                    error = "report " + std::to_string(i + 1) + " holds an unreadable cut";
                    return false;
                }
                cuts[r.point()] = r;
            }
            for (const std::string &p : sh.at("card_changed").get<std::vector<std::string>>())
                if (std::find(merged.cardChanged.begin(), merged.cardChanged.end(), p) ==
                    merged.cardChanged.end())
                    merged.cardChanged.push_back(p);
            const std::string err = sh.at("error").get<std::string>();
            if (!err.empty() && merged.error.empty())
                merged.error = "shard " + std::to_string(index) + ": " + err;
            merged.jobs += sh.at("jobs").get<unsigned>();
            merged.seconds += sh.at("seconds").get<double>();
        }
        for (unsigned i = 1; i <= count; ++i)
            if (!seen[i]) {
                error = "shard " + std::to_string(i) + "/" + std::to_string(count) + " is missing";
                return false;
            }
        merged.script = first.at("script").get<std::string>();
        merged.args = first.at("args").get<std::vector<std::string>>();
        merged.operations = first.at("operations").get<uint64_t>();
        merged.cleanStatus = first.at("clean_status").get<int>();
        merged.cleanSeconds = first.at("clean_seconds").get<double>();
        merged.beforeClaims = claimsFromRaw(first.at("before"));
        merged.cleanClaims = claimsFromRaw(first.at("clean"));
        merged.lostWrites = first.at("lost_writes").get<bool>();
        merged.doubleCut = first.at("double").get<bool>();
        merged.secondCuts = first.at("second_cuts").get<unsigned>();
        merged.seed = first.at("seed").get<uint32_t>();
        merged.fromFinal = first.at("from_final").get<bool>();
        merged.mediumNote = first.at("medium").get<std::string>();
        for (const Json &p : first.at("phases"))
            merged.phases.push_back(
                Phase{p.at(0).get<std::string>(), p.at(1).get<uint64_t>(), p.at(2).get<uint64_t>(),
                      p.size() > 3 ? p.at(3).get<std::string>() : std::string()});
        merged.planned = first.at("planned").get<uint64_t>();
        merged.chosen = first.at("chosen").get<std::string>();
        merged.whole = merged.chosen == k_every_cut_point;
        merged.acceptSample = first.at("accept_sample").get<bool>();
        const Json &d = first.at("digests");
        merged.scriptDigest = d.at(0).get<std::string>();
        merged.cardDigest = d.at(1).get<std::string>();
        merged.mediumDigest = d.at(2).get<std::string>();
        for (auto &c : cuts)
            merged.cuts.push_back(c.second);
    } catch (const Json::exception &) {
        error = "a shard's report is incomplete";
        return false;
    }
    return true;
}

std::string renderText(const SweepReport &r) {
    std::ostringstream out;
    out << "upgsim sweep: " << hostkit::printable(r.script);
    for (const std::string &a : r.args)
        out << " " << hostkit::printable(a);
    out << "\n";
    if (r.operations == 0 && r.cuts.empty() && !r.error.empty()) {
        out << "sweep not run: " << r.error << "\n";
        return out.str();
    }
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.2f", r.cleanSeconds);
    out << "operations:  " << r.operations << " on the card (the clean run: status "
        << r.cleanStatus << ", " << seconds << " s)\n";
    out << "before:      " << claimsLine(r.beforeClaims) << "\n";
    out << "clean run:   " << claimsLine(r.cleanClaims) << "\n";
    if (!r.mediumNote.empty())
        out << "medium:      " << hostkit::printable(r.mediumNote) << "\n";
    if (r.fullOperations > 0)
        out << "full medium: N = " << r.fullOperations << ", a whole sweep about "
            << durationText(r.fullCpuSeconds) << " of CPU time\n";
    if (r.fromFinal)
        out << "start:       the card a clean run leaves (--from-final)\n";
    out << "cuts:        " << r.cuts.size() << " of " << r.planned << " cut points (k 1.."
        << r.operations + 1 << (r.secondCuts > 0 ? ", each with its second cuts" : "")
        << "): " << r.chosen << "; lost writes " << (r.lostWrites ? "on" : "off") << ", second cut "
        << (r.doubleCut ? "on" : "off") << ", seed " << r.seed << "\n";
    out << "converged:   " << r.converged() << " of " << r.cuts.size() << "\n";

    const std::vector<Group> falseGroups = falseClaimGroups(r);
    out << "\nfalse claims: " << r.falseClaimCuts() << " cuts";
    out << (falseGroups.empty() ? ": none\n" : "\n");
    for (const Group &g : falseGroups) {
        out << "  " << range(g) << where(r, g) << (g.after == "cut" ? "" : ", after the second cut")
            << ": " << claimText(g.check.claim) << ", files unlike the "
            << (g.check.reference == "clean" ? "clean final card" : "card before the run") << ":\n";
        for (std::size_t i = 0; i < g.check.mismatches.size() && i < k_files_shown; ++i)
            out << "      " << describe(g.check.mismatches[i]) << "\n";
        if (g.check.mismatches.size() > k_files_shown)
            out << "      and " << g.check.mismatches.size() - k_files_shown << " more\n";
        if (g.first != nullptr) {
            out << "      " << madeBy(g) << "; replay: " << replayOf(*g.first) << "\n";
            const std::vector<LostFile> lost = lostBehind(g);
            for (std::size_t i = 0; i < lost.size() && i < k_files_shown; ++i)
                out << "      " << lostText(lost[i], g) << "\n";
            if (lost.size() > k_files_shown)
                out << "      and " << lost.size() - k_files_shown << " more files lost so\n";
        }
    }

    const std::vector<Group> failed = groupsBy(r, failedRerun, stderrLines);
    out << "\nfailed re-runs:" << (failed.empty() ? " none\n" : "\n");
    for (const Group &g : failed) {
        out << "  " << range(g) << where(r, g) << ": " << g.what << "\n";
        for (const std::string &line : g.paths)
            out << "      | " << line << "\n";
    }
    const std::vector<Group> diverged = groupsBy(r, notConverged, finalFiles);
    out << "\nre-runs that left another card than the clean run:"
        << (diverged.empty() ? " none\n" : "\n");
    for (const Group &g : diverged) {
        out << "  " << range(g) << where(r, g) << ":\n";
        for (std::size_t i = 0; i < g.paths.size() && i < k_files_shown; ++i)
            out << "      " << g.paths[i] << "\n";
        if (g.paths.size() > k_files_shown)
            out << "      and " << g.paths.size() - k_files_shown << " more\n";
    }
    const std::vector<Group> changed = groupsBy(r, outside, outsidePaths);
    out << "\nchanged outside what the clean run changes:" << (changed.empty() ? " none\n" : "\n");
    for (const Group &g : changed) {
        out << "  " << range(g) << where(r, g) << ":\n";
        for (std::size_t i = 0; i < g.paths.size() && i < k_files_shown; ++i)
            out << "      " << g.paths[i] << "\n";
        if (g.paths.size() > k_files_shown)
            out << "      and " << g.paths.size() - k_files_shown << " more\n";
    }
    // A run that ends before operation k although the clean run did more: the
    // script does not do the same from run to run (its card state is then
    // the end of a whole run).
    const std::vector<Group> uncut =
        groupsBy(r, notCut, [](const CutResult &) { return std::vector<std::string>(); });
    if (!uncut.empty()) {
        out << "\nruns that ended before their cut point (the script does not repeat itself):\n";
        for (const Group &g : uncut)
            out << "  " << range(g) << where(r, g) << "\n";
    }
    const std::vector<Group> errors =
        groupsBy(r, hostError, [](const CutResult &) { return std::vector<std::string>(); });
    if (!errors.empty()) {
        out << "\ncuts not played (a failure of upgsim):\n";
        for (const Group &g : errors)
            out << "  " << range(g) << where(r, g) << ": " << g.what << "\n";
    }

    out << "\ntimeline (what the card claims after a cut before operation k):\n";
    for (const Group &g : timeline(r)) {
        out << "  " << range(g) << where(r, g) << ": " << g.what << "\n";
        if (!g.paths.empty() && !g.paths.front().empty())
            out << "      from k " << g.from << ", after " << hostkit::printable(g.paths.front())
                << "\n";
    }
    if (r.phases.size() > 1) {
        out << "\nphases (operations of each builtin call):\n";
        for (const Phase &p : r.phases) {
            out << "  " << p.first;
            if (p.last != p.first)
                out << "-" << p.last;
            out << ": " << hostkit::printable(callText(p.call, p.site)) << "\n";
        }
    }
    char took[32];
    std::snprintf(took, sizeof took, "%.1f", r.seconds);
    out << "\n";
    if (!r.cardChanged.empty()) {
        std::string paths;
        for (const std::string &p : r.cardChanged)
            paths += (paths.empty() ? "" : ", ") + hostkit::printable(p);
        out << mediacheck::wrapText(
            "",
            "the card changed during the sweep, by another program (the sweep only "
            "reads it): " +
                paths +
                "; the cuts may have started from different cards: sweep again with "
                "nothing else writing the card",
            2);
    }
    if (!r.error.empty())
        out << "sweep stopped: " << r.error << "\n";
    if (r.passed() || !r.clean()) {
        out << (r.passed() ? "PASSED" : "FAILED") << ": " << r.converged() << " of "
            << r.cuts.size() << " cuts converged, " << r.falseClaimCuts() << " with a false claim; "
            << took << " s with " << r.jobs << (r.jobs == 1 ? " job\n" : " jobs\n");
    } else {
        // Nothing found, but not every cut point was played.
        out << "partial sweep: " << r.converged() << " of " << r.cuts.size() << " cuts converged; "
            << took << " s with " << r.jobs << (r.jobs == 1 ? " job\n" : " jobs\n");
        if (r.shardCount > 0)
            out << "shard " << r.shardIndex << "/" << r.shardCount
                << ": merge the shards' JSON reports (upgsim sweep --merge) for the verdict\n";
        else if (r.acceptSample)
            out << "accepted as a sample (--accept-sample)\n";
        out << notAProof(r) << "\n";
    }
    return out.str();
}

std::string renderJson(const SweepReport &r,
                       const std::function<std::string(const std::string &)> &text) {
    g_text = text;
    Json j;
    j["script"] = T(r.script);
    Json args = Json::array();
    for (const std::string &a : r.args)
        args.push_back(T(a));
    j["args"] = args;
    j["operations"] = r.operations;
    j["cuts"] = r.cuts.size();
    j["converged"] = r.converged();
    j["false_claim_cuts"] = r.falseClaimCuts();
    j["passed"] = r.passed();
    j["verdict"] = verdictOf(r);
    j["planned"] = r.planned;
    j["chosen"] = T(r.chosen);
    j["whole"] = r.whole;
    j["from_final"] = r.fromFinal;
    j["medium"] = T(r.mediumNote);
    j["second_cuts"] = r.secondCuts;
    if (r.fullOperations > 0)
        j["full_medium"] = {{"operations", r.fullOperations},
                            {"clean_seconds", r.fullCleanSeconds},
                            {"estimated_cpu_seconds", r.fullCpuSeconds}};
    j["clean_status"] = r.cleanStatus;
    j["lost_writes"] = r.lostWrites;
    j["double"] = r.doubleCut;
    j["seed"] = r.seed;
    j["jobs"] = r.jobs;
    j["seconds"] = r.seconds;
    j["before"] = claimsJson(r.beforeClaims);
    j["clean"] = claimsJson(r.cleanClaims);

    Json falseClaims = Json::array();
    for (const Group &g : falseClaimGroups(r)) {
        Json item = rangeJson(g);
        item["after"] = g.after;
        item["claim"] = claimJson(g.check.claim);
        item["compared_with"] = g.check.reference;
        if (g.first != nullptr) {
            const std::string &done = g.after == "cut" ? g.first->done : g.first->secondDone;
            item["k"] = g.first->k;
            item["second_cut"] = g.first->secondCut;
            item["done"] = T(done);
            item["call"] = g.after == "cut" ? T(g.first->call) : std::string();
            item["site"] = g.after == "cut" ? T(g.first->site) : std::string();
            Json lost = Json::array();
            for (const LostFile &l : lostBehind(g))
                lost.push_back({{"path", T(l.path)},
                                {"kept", l.kept},
                                {"size", l.size},
                                {"sync_before", T(done)}});
            item["lost_writes"] = lost;
        }
        Json files = Json::array();
        for (const Mismatch &m : g.check.mismatches)
            files.push_back(mismatchJson(m));
        item["files"] = files;
        item["place"] = T(placeText(r, g.from, g.to));
        falseClaims.push_back(item);
    }
    j["false_claims"] = falseClaims;

    Json failed = Json::array(), diverged = Json::array(), changed = Json::array(),
         errors = Json::array();
    for (const CutResult &c : r.cuts) {
        if (!failedRerun(c).empty())
            failed.push_back({{"k", c.k},
                              {"ending", T(c.rerunFailure)},
                              {"stderr", T(c.rerunStderr)},
                              {"place", T(placeText(r, c.k, c.k))}});
        if (!notConverged(c).empty()) {
            Json files = Json::array();
            for (const Mismatch &m : c.finalMismatches)
                files.push_back(mismatchJson(m));
            diverged.push_back(
                {{"k", c.k}, {"files", files}, {"place", T(placeText(r, c.k, c.k))}});
        }
        if (!c.changedOutside.empty()) {
            Json paths = Json::array();
            for (const std::string &p : c.changedOutside)
                paths.push_back(T(p));
            changed.push_back({{"k", c.k}, {"paths", paths}, {"place", T(placeText(r, c.k, c.k))}});
        }
        if (!c.error.empty())
            errors.push_back(
                {{"k", c.k}, {"error", T(c.error)}, {"place", T(placeText(r, c.k, c.k))}});
    }
    j["failed_reruns"] = failed;
    j["not_converged"] = diverged;
    j["changed_outside"] = changed;
    Json notCutAt = Json::array();
    for (const CutResult &c : r.cuts)
        if (!notCut(c).empty())
            notCutAt.push_back(c.k);
    j["not_cut"] = notCutAt;
    j["errors"] = errors;
    Json cardChanged = Json::array();
    for (const std::string &p : r.cardChanged)
        cardChanged.push_back(T(p));
    j["card_changed"] = cardChanged;

    Json states = Json::array();
    for (const Group &g : timeline(r)) {
        Json item = rangeJson(g);
        const CutResult *first = nullptr;
        for (const CutResult &c : r.cuts)
            if (c.k == g.from)
                first = &c;
        Json claims = Json::array();
        if (first != nullptr)
            for (const ClaimCheck &c : first->claims) {
                Json cj = claimJson(c.claim);
                cj["holds"] = c.holds;
                claims.push_back(cj);
            }
        item["claims"] = claims;
        item["operation"] = T(first != nullptr ? first->op : std::string());
        item["done"] = T(first != nullptr ? first->done : std::string());
        item["call"] = T(first != nullptr ? first->call : std::string());
        item["site"] = T(first != nullptr ? first->site : std::string());
        item["place"] = T(placeText(r, g.from, g.to));
        states.push_back(item);
    }
    j["timeline"] = states;
    Json phases = Json::array();
    for (const Phase &p : r.phases)
        phases.push_back(
            {{"from", p.first}, {"to", p.last}, {"call", T(p.call)}, {"site", T(p.site)}});
    j["phases"] = phases;
    j["digests"] = {{"script", r.scriptDigest}, {"card", r.cardDigest}, {"medium", r.mediumDigest}};
    if (r.shardCount > 0)
        j["shard"] = encodeShard(r);
    if (!r.error.empty())
        j["error"] = T(r.error);
    g_text = nullptr;
    return j.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

} // namespace sweep
