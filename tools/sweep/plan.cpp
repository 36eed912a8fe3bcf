// Which cuts a sweep plays: the phases of the clean run (each builtin call's
// range of operations), every cut point or a sample stratified over the
// phases, the second cuts of --double and the shards of --shard.
#include "tools/sweep/sweep.h"

#include <algorithm>
#include <cstdlib>

namespace sweep {

namespace {

uint64_t mixPoint(uint64_t seed, uint64_t k) {
    uint64_t z = seed * 0x9E3779B97F4A7C15ULL + k + 0x2545F4914F6CDD1DULL;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// `count` points spread evenly over first..last, each in the middle of its
// share.
void spread(uint64_t first, uint64_t last, uint64_t count, std::vector<uint64_t> &out) {
    const uint64_t length = last - first + 1;
    for (uint64_t i = 0; i < count && i < length; ++i)
        out.push_back(first + (2 * i + 1) * length / (2 * count));
}

} // namespace

std::string phaseText(const std::string &call) {
    if (call.empty())
        return "the script's own operations";
    if (call == k_end_phase)
        return "after the last operation";
    const std::size_t hash = call.rfind('#');
    if (hash == std::string::npos)
        return call;
    return call.substr(0, hash) + " (call " + call.substr(hash + 1) + ")";
}

std::string callText(const std::string &call, const std::string &site) {
    std::string text = phaseText(call);
    if (!site.empty() && !call.empty() && call != k_end_phase)
        text += " at " + site;
    return text;
}

std::vector<Phase> phasesOf(const std::vector<std::string> &traceLines) {
    std::vector<Phase> phases;
    uint64_t last = 0;
    for (const std::string &line : traceLines) {
        if (line.empty() || line[0] < '0' || line[0] > '9')
            continue; // not an operation (a lost-writes line)
        const uint64_t k = std::strtoull(line.c_str(), nullptr, 10);
        // The fourth field is the call, the fifth its site.
        std::string call, site;
        std::size_t at = line.find('\t');
        for (int field = 1; field < 3 && at != std::string::npos; ++field)
            at = line.find('\t', at + 1);
        if (at != std::string::npos) {
            const std::size_t end = line.find('\t', at + 1);
            call = line.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
            if (end != std::string::npos)
                site = line.substr(end + 1, line.find('\t', end + 1) - end - 1);
        }
        if (phases.empty() || phases.back().call != call)
            phases.push_back(Phase{call, k, k, call.empty() ? std::string() : site});
        else
            phases.back().last = k;
        last = std::max(last, k);
    }
    phases.push_back(Phase{k_end_phase, last + 1, last + 1, std::string()});
    return phases;
}

std::vector<uint64_t> planCuts(uint64_t n, const std::vector<Phase> &phases, unsigned sample) {
    std::vector<uint64_t> ks;
    if (sample == 0 || sample >= n + 1) {
        for (uint64_t k = 1; k <= n + 1; ++k)
            ks.push_back(k);
        return ks;
    }
    // The strata: the phases within 1..n, the end on its own.
    std::vector<Phase> strata;
    for (const Phase &p : phases)
        if (p.first >= 1 && p.last <= n && p.first <= p.last)
            strata.push_back(p);
    if (strata.empty())
        strata.push_back(Phase{std::string(), 1, n, std::string()});
    ks.push_back(n + 1); // the end is always played: the run's last act is often the claim
    uint64_t left = sample - 1;
    if (left < strata.size()) {
        // Fewer cuts than phases: phases spread over the run, a cut in the
        // middle of each.
        for (uint64_t i = 0; i < left; ++i) {
            const Phase &p = strata[(2 * i + 1) * strata.size() / (2 * left)];
            ks.push_back(p.first + (p.last - p.first) / 2);
        }
    } else {
        // One cut per phase, the rest shared by length (largest remainder).
        std::vector<uint64_t> share(strata.size(), 1);
        left -= strata.size();
        uint64_t total = 0;
        for (const Phase &p : strata)
            total += p.last - p.first + 1;
        std::vector<std::pair<uint64_t, std::size_t>> remainders;
        uint64_t given = 0;
        for (std::size_t i = 0; i < strata.size(); ++i) {
            const uint64_t length = strata[i].last - strata[i].first + 1;
            const uint64_t whole = left * length / total;
            share[i] += whole;
            given += whole;
            remainders.push_back({left * length % total, i});
        }
        std::sort(remainders.begin(), remainders.end(),
                  [](const std::pair<uint64_t, std::size_t> &a,
                     const std::pair<uint64_t, std::size_t> &b) {
                      return a.first != b.first ? a.first > b.first : a.second < b.second;
                  });
        for (std::size_t i = 0; given < left && i < remainders.size(); ++i, ++given)
            ++share[remainders[i].second];
        for (std::size_t i = 0; i < strata.size(); ++i)
            spread(strata[i].first, strata[i].last, share[i], ks);
    }
    std::sort(ks.begin(), ks.end());
    ks.erase(std::unique(ks.begin(), ks.end()), ks.end());
    return ks;
}

std::vector<CutPoint> planPoints(const std::vector<uint64_t> &ks, uint64_t n, bool doubleCut,
                                 unsigned perCut, uint32_t seed) {
    std::vector<CutPoint> points;
    for (uint64_t k : ks) {
        if (!doubleCut || n == 0) {
            points.push_back(CutPoint{k, 0});
            continue;
        }
        // perCut points evenly spaced over the re-run's 1..n, shifted by an
        // offset drawn from the seed and k: the first cuts together cover
        // the re-run, and any point can be replayed (--cut K1,K2).
        const uint64_t per = std::max<uint64_t>(1, std::min<uint64_t>(perCut, n));
        const uint64_t step = n / per;
        const uint64_t offset = mixPoint(seed, k) % std::max<uint64_t>(1, step);
        std::vector<uint64_t> seconds;
        for (uint64_t j = 0; j < per; ++j)
            seconds.push_back(1 + (offset + j * n / per) % n);
        std::sort(seconds.begin(), seconds.end());
        seconds.erase(std::unique(seconds.begin(), seconds.end()), seconds.end());
        for (uint64_t s : seconds)
            points.push_back(CutPoint{k, s});
    }
    return points;
}

std::vector<CutPoint> shardOf(const std::vector<CutPoint> &points, unsigned index, unsigned count) {
    std::vector<CutPoint> out;
    if (count == 0 || index == 0 || index > count)
        return out;
    for (std::size_t i = index - 1; i < points.size(); i += count)
        out.push_back(points[i]);
    return out;
}

} // namespace sweep
