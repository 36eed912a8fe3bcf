// The lint of the medium's text files: each line read as the module and the
// bundled scripts read it, each mistake a finding with its file and line.
#include "tools/mediacheck/lint.h"

#include "tools/mediacheck/findings.h"

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>

namespace fs = std::filesystem;

namespace mediacheck {

namespace {

const char *const k_map_script = "examples/map_upgrade.c";
const char *const k_scripts = "examples/map_upgrade.c and poi_only.c";
const char *const k_module = "the module";
const char *const k_by_name = "no one (the module finds the file by its name)";

// What goes wrong when a needed key is not found, by key.
const char *const k_fails_country = "fails the country ('no MAP_ARCHIVE or CID_INFO')";

} // namespace

const std::vector<KnownKey> &knownKeys() {
    static const std::vector<KnownKey> k_keys = {
        {"DB_DOWNLOAD_NAV", TextFile::MainDescriptor, false, k_by_name},
        {"GRUPPO_ROOT_CURR", TextFile::MainDescriptor, false, k_by_name},
        {"ICON_BRANDS", TextFile::MainDescriptor, false, "the unit"},
        {"POI_DOWNLOAD", TextFile::MainDescriptor, true, k_scripts},
        {"CID_INFO", TextFile::CountryDescriptor, true, k_map_script},
        {"GRUPPO_4_CID", TextFile::CountryDescriptor, false, k_by_name},
        {"MAP_ARCHIVE", TextFile::CountryDescriptor, true, k_map_script},
        {"CID", TextFile::CountryInfo, true, k_module},
        {"VERSION", TextFile::CountryInfo, true, k_module},
        {"RELEASE", TextFile::CountryInfo, true, k_module},
        {"CID_SIZE_4", TextFile::CountryInfo, true, k_module},
        {"CID_SIZE_8", TextFile::CountryInfo, true, k_module},
        {"CID_SIZE_16", TextFile::CountryInfo, true, k_module},
        {"CID_SIZE_32", TextFile::CountryInfo, true, k_module},
        {"CID_SIZE", TextFile::CountryInfo, true, k_module},
        {"VER", TextFile::GroupFile, true, k_module},
        {"VERSION", TextFile::VersionFile, false, k_map_script},
        {"AREA", TextFile::VersionFile, false, "the unit"},
        {"VERSION", TextFile::PoiInfo, false, "the unit"},
        {"DATE", TextFile::PoiInfo, false, "the unit"},
        {"PREFIX", TextFile::PoiText, true, "the POI merge"},
        {"DATE", TextFile::PoiText, true, "the POI merge"},
    };
    return k_keys;
}

namespace {

// Files larger than this are no text file of a medium: not read.
const uintmax_t k_max_text_bytes = 1u << 20;
// The POI archive's text files read at most: each, and all together.
const la_int64_t k_max_poi_text = la_int64_t(64) * 1024;
const size_t k_max_poi_text_bytes = 4u << 20;

bool startsWith(const std::string &s, const std::string &head) {
    return s.compare(0, head.size(), head) == 0;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string trim(const std::string &s) {
    size_t b = 0, e = s.size();
    while (b < e && isBlank(s[b]))
        ++b;
    while (e > b && isBlank(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

std::string upper(std::string s) {
    for (char &c : s)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return s;
}

// Edits (insertion, deletion, substitution, swap of neighbours) from a to b.
size_t editDistance(const std::string &a, const std::string &b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i)
        d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j)
        d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i)
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[a.size()][b.size()];
}

const KnownKey *findKey(const std::string &key, TextFile file) {
    for (const KnownKey &k : knownKeys())
        if (k.file == file && key == k.key)
            return &k;
    return nullptr;
}

// A key of a descriptor that the lint has nothing to say about: one of the
// keys read (in either kind of descriptor), or, in the main one, a key that
// the module sorts by its beginning.
bool descriptorKeyKnown(const std::string &key, TextFile file) {
    if (findKey(key, TextFile::MainDescriptor) != nullptr ||
        findKey(key, TextFile::CountryDescriptor) != nullptr)
        return true;
    return file == TextFile::MainDescriptor &&
           (startsWith(key, "DB_DOWNLOAD") || startsWith(key, "GRUPPO_ROOT") ||
            startsWith(key, "ICON_BRANDS"));
}

// What the readers do when a needed key is not found in its file.
std::string whenMissing(const std::string &key) {
    if (key == "POI_DOWNLOAD")
        return "the script finds no POI delivery and skips it ('no POI delivery on this medium')";
    if (key == "CID_INFO" || key == "MAP_ARCHIVE")
        return std::string("the script ") + k_fails_country;
    if (key == "CID")
        return "the module does not take the folder for a country";
    if (key == "VER")
        return "the module refuses the country, whose group file then gives no code";
    if (startsWith(key, "CID_SIZE_"))
        return "the module leaves the country out on cards of " + key.substr(9) +
               " KiB blocks (CID_SIZE, which would stand in, is missing too)";
    if (key == "CID_SIZE")
        return "the module leaves the country out on cards whose block size has no key of its own";
    return "the module refuses the country, whose " + key + " it cannot read";
}

// ---- Reading a text file ------------------------------------------------------

enum class LineEnd { None, Lf, CrLf, Cr };

struct Line {
    int number = 0;
    std::string text; // without its line end
    LineEnd end = LineEnd::None;
};

struct Text {
    std::string rel; // relative to the medium's root
    std::vector<Line> lines;
    bool bom = false;   // a UTF-8 byte-order mark, removed from line 1's text
    bool utf16 = false; // a UTF-16 byte-order mark: not read further
};

// `bytes` split at LF into `t`'s lines, a leading byte-order mark noted.
void splitText(std::string bytes, Text &t) {
    if (startsWith(bytes, "\xEF\xBB\xBF")) {
        t.bom = true;
        bytes.erase(0, 3);
    } else if (startsWith(bytes, "\xFF\xFE") || startsWith(bytes, "\xFE\xFF")) {
        t.utf16 = true;
        return;
    }
    size_t start = 0;
    int number = 1;
    while (start < bytes.size()) {
        Line l;
        l.number = number++;
        const size_t lf = bytes.find('\n', start);
        if (lf == std::string::npos) {
            l.text = bytes.substr(start);
            start = bytes.size();
        } else {
            l.text = bytes.substr(start, lf - start);
            l.end = LineEnd::Lf;
            start = lf + 1;
        }
        if (!l.text.empty() && l.text.back() == '\r') {
            l.text.pop_back();
            l.end = l.end == LineEnd::Lf ? LineEnd::CrLf : LineEnd::Cr;
        }
        t.lines.push_back(l);
    }
}

// The file at `rel` (relative to `root`), split at LF; false when it is
// missing, no regular file or too large.
bool readText(const std::string &root, const std::string &rel, Text &t) {
    const std::string host = root + "/" + rel;
    std::error_code ec;
    if (!fs::is_regular_file(host, ec))
        return false;
    const uintmax_t size = fs::file_size(host, ec);
    if (ec || size > k_max_text_bytes)
        return false;
    std::ifstream in(host, std::ios::binary);
    if (!in)
        return false;
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    t.rel = rel;
    splitText(bytes, t);
    return true;
}

void addAt(std::vector<Finding> &out, Severity s, Code code, const Text &t, int line,
           const std::string &message) {
    add(out, code, s, t.rel, message);
    out.back().line = line;
}

// A CR that ends no line, and lines that end otherwise than the others.
void lintLineEnds(const Text &t, std::vector<Finding> &out) {
    for (const Line &l : t.lines) {
        const size_t cr = l.text.find('\r');
        if (cr == std::string::npos)
            continue;
        std::string after = l.text.substr(cr + 1, 24);
        after = after.substr(0, after.find('\r'));
        addAt(out, Severity::Error, Code::LintCr, t, l.number,
              "a CR in the middle of the line: lines end at LF only, so the text after the CR ('" +
                  after +
                  "') is read as part of this line and never as a line of its own; end every "
                  "line with LF (or CR LF)");
        return; // one such finding tells the whole file's story
    }
    int lf = 0, crlf = 0;
    for (const Line &l : t.lines) {
        if (l.end == LineEnd::Lf)
            ++lf;
        else if (l.end == LineEnd::CrLf)
            ++crlf;
    }
    if (lf == 0 || crlf == 0)
        return;
    const LineEnd odd = crlf <= lf ? LineEnd::CrLf : LineEnd::Lf;
    const int count = odd == LineEnd::CrLf ? crlf : lf;
    for (const Line &l : t.lines)
        if (l.end == odd) {
            addAt(out, Severity::Warning, Code::LintCr, t, l.number,
                  std::string("this line ends in ") + (odd == LineEnd::CrLf ? "CR LF" : "LF") +
                      " and the file's other lines in " + (odd == LineEnd::CrLf ? "LF" : "CR LF") +
                      " (" + std::to_string(count) + " of " + std::to_string(lf + crlf) +
                      " lines): the module reads both alike, but the file was edited with "
                      "two tools; save it with one kind of line end");
            return;
        }
}

// The file is UTF-16: nothing of it can be read.
bool lintEncoding(const Text &t, std::vector<Finding> &out) {
    if (!t.utf16)
        return true;
    addAt(out, Severity::Error, Code::LintBom, t, 1,
          "the file is UTF-16 (it starts with a UTF-16 byte-order mark): the module and the "
          "scripts read bytes and find none of its lines; save it as ASCII");
    return false;
}

std::string bomText(const std::string &what) {
    return "a UTF-8 byte-order mark starts the file and is read as part of the first line: " +
           what + "; save the file without BOM (as ASCII)";
}

// A byte-order mark that no line's finding told of: a warning of its own
// (the first line holds nothing a reader needs).
void lintBomLeft(const Text &t, std::vector<Finding> &out) {
    if (!t.bom)
        return;
    for (const Finding &f : out)
        if (f.path == t.rel && f.code == codeInfo(Code::LintBom).name)
            return;
    addAt(out, Severity::Warning, Code::LintBom, t, 1,
          bomText("nothing depends on that line, but the next editor may put a key there"));
}

// ---- Descriptors ---------------------------------------------------------------

struct Record {
    int line = 0;
    std::string key;
    std::string path; // field 3, backslashes turned into slashes
};

std::vector<std::string> splitCommas(const std::string &s) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        const size_t comma = s.find(',', start);
        fields.push_back(s.substr(start, comma == std::string::npos ? comma : comma - start));
        if (comma == std::string::npos)
            return fields;
        start = comma + 1;
    }
}

std::string slashes(std::string s) {
    std::replace(s.begin(), s.end(), '\\', '/');
    return s;
}

std::string lastComponent(const std::string &path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(slash + 1);
}

// The severity of a mistake that hides key `key` from its readers in a
// file whose lines give `present` keys as the readers see them.
Severity hidingSeverity(const std::string &key, TextFile file,
                        const std::set<std::string> &present) {
    const KnownKey *k = findKey(key, file);
    if (k == nullptr || !k->needed || present.count(key) != 0)
        return Severity::Warning;
    if (startsWith(key, "CID_SIZE_") && present.count("CID_SIZE") != 0)
        return Severity::Warning;
    return Severity::Error;
}

// What a hidden key costs, for a message: ", so the script fails the
// country" or nothing when the key is not needed or given elsewhere.
std::string hidingCost(Severity s, const std::string &key) {
    return s == Severity::Error ? ", so " + whenMissing(key) : "";
}

// What an unknown key costs when it stands for `near`: what its readers do
// without it, or why nothing does.
std::string unknownCost(const std::string &word, const KnownKey &near, Severity s,
                        const std::set<std::string> &present) {
    const std::string key = near.key;
    if (s == Severity::Error)
        return "With no " + key + " line in this file (read by " + near.readers + "), " +
               whenMissing(key);
    if (present.count(key) != 0)
        return "Nobody reads '" + word + "' (the file's own " + key + " line is read)";
    return "Nobody reads '" + word + "', and nothing in the upgrade depends on " + key;
}

// The keys of a descriptor whose lines the scripts see (field 1 exactly).
std::set<std::string> descriptorKeys(const Text &t) {
    std::set<std::string> keys;
    for (const Line &l : t.lines)
        if (!(t.bom && l.number == 1) && l.text.find(',') != std::string::npos)
            keys.insert(l.text.substr(0, l.text.find(',')));
    return keys;
}

void lintDescriptorKey(const Text &t, TextFile file, const Line &l, const std::string &key,
                       const std::set<std::string> &present, std::vector<Finding> &out) {
    const std::string bare = trim(key);
    if (t.bom && l.number == 1) {
        const Severity s = hidingSeverity(bare, file, present);
        addAt(out, s, Code::LintBom, t, 1,
              bomText("its key is not '" + bare + "' for the scripts" + hidingCost(s, bare)));
    }
    if (bare != key && !bare.empty()) {
        const Severity s = hidingSeverity(bare, file, present);
        addAt(out, s, Code::LintSpace, t, l.number,
              "the key '" + key + "' holds a space next to its comma: the scripts compare " +
                  "keys exactly and do not see '" + bare + "' here" + hidingCost(s, bare) +
                  "; write '" + bare + ",'");
        return;
    }
    if (bare.empty() || descriptorKeyKnown(bare, file))
        return;
    const KnownKey *near = nearestKey(bare, file);
    if (near == nullptr)
        return; // a key of the medium's own: nobody reads it, nothing to say
    const Severity s = hidingSeverity(near->key, file, present);
    addAt(out, s, Code::LintKeyUnknown, t, l.number,
          "unknown key '" + bare + "': did you mean " + near->key + "? " +
              unknownCost(bare, *near, s, present) + "; write " + near->key);
}

// Lints a descriptor; returns the records whose field 3 the readers take.
std::vector<Record> lintDescriptor(const std::string &root, const Text &t, TextFile file,
                                   std::vector<Finding> &out) {
    std::vector<Record> records;
    if (!lintEncoding(t, out))
        return records;
    lintLineEnds(t, out);
    const std::set<std::string> present = descriptorKeys(t);
    std::map<std::string, int> firstOfKey; // a key the scripts read -> its first line
    for (const Line &l : t.lines) {
        if (trim(l.text).empty())
            continue;
        const std::vector<std::string> fields = splitCommas(l.text);
        if (fields.size() < 2)
            continue; // a line without a comma: told as a short line
        lintDescriptorKey(t, file, l, fields[0], present, out);
        const KnownKey *known = findKey(fields[0], file);
        if (known != nullptr && known->needed && !(t.bom && l.number == 1)) {
            auto first = firstOfKey.emplace(fields[0], l.number).first;
            if (first->second != l.number)
                addAt(out, Severity::Warning, Code::LintKeyTwice, t, l.number,
                      "a second " + fields[0] + " line: the first one (line " +
                          std::to_string(first->second) + ") is read (by " + known->readers +
                          ") and this one ignored; keep one");
        }
        for (size_t i : {size_t(1), size_t(3)})
            if (i + 1 < fields.size() && trim(fields[i]) != fields[i])
                addAt(out, Severity::Warning, Code::LintSpace, t, l.number,
                      "field " + std::to_string(i + 1) + " '" + fields[i] +
                          "' holds a space next to a comma: nothing reads it, but fields are "
                          "not trimmed; write '" +
                          trim(fields[i]) + "'");
        if (fields.size() < 4)
            continue; // field 3 ends at the third comma, or the readers do not take it
        Record r;
        r.line = l.number;
        r.key = trim(fields[0]);
        r.path = slashes(fields[2]);
        const std::string bare = trim(r.path);
        std::error_code ec;
        if (bare != r.path && !fs::exists(root + "/" + r.path, ec))
            addAt(out, Severity::Error, Code::LintSpace, t, l.number,
                  "the path '" + r.path +
                      "' holds a space next to a comma: the module and the scripts open it "
                      "as written, and the medium has no such file; write '" +
                      bare + "'");
        records.push_back(r);
    }
    lintBomLeft(t, out);
    return records;
}

// ---- Key-and-value files --------------------------------------------------------

// A line of a key-and-value file as the module reads it.
struct KeyLine {
    int line = 0;
    std::string raw;   // the text after the first colon
    std::string value; // what the module reads: `raw` up to the first CR or space
};

// The first line of each key, as the module sees them.
typedef std::map<std::string, KeyLine> FirstLines;

FirstLines firstLines(const Text &t) {
    FirstLines firsts;
    for (const Line &l : t.lines) {
        const size_t colon = l.text.find(':');
        if ((t.bom && l.number == 1) || colon == std::string::npos || colon == 0)
            continue;
        const std::string key = l.text.substr(0, colon);
        if (firsts.count(key) != 0)
            continue;
        KeyLine k;
        k.line = l.number;
        k.raw = l.text.substr(colon + 1);
        k.value = k.raw.substr(0, k.raw.find_first_of("\r "));
        firsts[key] = k;
    }
    return firsts;
}

// The number `digits` (decimal digits only) is at most `max`.
bool atMost(const std::string &digits, uint64_t max) {
    uint64_t v = 0;
    for (char c : digits) {
        v = v * 10 + static_cast<uint64_t>(c - '0');
        if (v > max)
            return false;
    }
    return true;
}

// How the unit's C library reads `s` as a number: atoi (a signed 32-bit
// long, clamped) when `isSigned`, else strtoul (32 bits, a minus sign
// negating modulo 2^32, clamped at 2^32 - 1 on overflow).
long long unitNumber(const std::string &s, bool isSigned) {
    size_t i = 0;
    while (i < s.size() && (isBlank(s[i]) || s[i] == '\n' || s[i] == '\v' || s[i] == '\f'))
        ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        negative = s[i++] == '-';
    const uint64_t limit = isSigned ? (negative ? 2147483648ULL : 2147483647ULL) : 4294967295ULL;
    uint64_t v = 0;
    bool over = false;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        v = v * 10 + static_cast<uint64_t>(s[i] - '0');
        if (v > limit) {
            over = true;
            v = limit;
        }
    }
    if (isSigned)
        return negative ? -static_cast<long long>(v) : static_cast<long long>(v);
    if (over)
        return 4294967295LL;
    return negative ? static_cast<long long>((4294967296ULL - v) % 4294967296ULL)
                    : static_cast<long long>(v);
}

bool allDigits(const std::string &s) {
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The value of `key` on line `k` must be a decimal number of at most `max`:
// an error (or a warning, when nothing depends on it) that says how the
// unit reads it otherwise. True when it is one.
bool lintNumber(const Text &t, const std::string &key, const KeyLine &k, bool isSigned,
                uint64_t max, Severity s, std::vector<Finding> &out) {
    const std::string remedy =
        "; write " + key + ":" + (allDigits(trim(k.raw)) ? trim(k.raw) : "N") + " with digits only";
    if (k.value.empty()) {
        const bool spaced = !trim(k.raw).empty();
        addAt(out, s, Code::LintNotInteger, t, k.line,
              key +
                  (spaced ? " has a space after its colon: the value ends at the first space, "
                            "so it is read as empty,"
                          : " is empty, so it is read") +
                  " as the number 0" + remedy);
        return false;
    }
    const bool isSignedNumber =
        (k.value[0] == '-' || k.value[0] == '+') && allDigits(k.value.substr(1));
    if (isSigned && isSignedNumber) {
        addAt(out, s, Code::LintNotInteger, t, k.line,
              key + " '" + k.value + "' carries a sign: it is compared as the number " +
                  std::to_string(unitNumber(k.value, true)) +
                  ", and a country the card does not hold counts as 0" + remedy);
        return false;
    }
    if (!allDigits(k.value)) {
        addAt(out, s, Code::LintNotInteger, t, k.line,
              key + " '" + k.value + "' is not a number: it is read as " +
                  std::to_string(unitNumber(k.value, isSigned)) +
                  (isSigned ? ", and the card gets the text '" + k.value + "'" : std::string()) +
                  remedy);
        return false;
    }
    if (!atMost(k.value, max)) {
        addAt(out, s, Code::LintNotInteger, t, k.line,
              key + " " + k.value + " is above " + std::to_string(max) +
                  ", the largest number the unit reads here: it is read as " +
                  std::to_string(unitNumber(k.value, isSigned)) + "; write a smaller number");
        return false;
    }
    return true;
}

// Text after the module's value ("7 beta"): ignored by the module.
void lintTail(const Text &t, const std::string &key, const KeyLine &k, std::vector<Finding> &out) {
    if (k.value.empty() || k.raw.size() == k.value.size() || k.raw[k.value.size()] != ' ')
        return;
    addAt(out, Severity::Warning, Code::LintSpace, t, k.line,
          "'" + key + ":" + k.raw + "': the value ends at the first space, so " + key +
              " is read as '" + k.value + "' and the rest is ignored; write " + key + ":" +
              k.value);
}

bool isCode(const std::string &s) {
    return s.size() == 3 &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
}

// A country's code: three upper-case letters.
void lintCode(const Text &t, const KeyLine &k, std::vector<Finding> &out) {
    if (k.value.empty()) {
        addAt(out, Severity::Error, Code::LintCode, t, k.line,
              std::string("CID ") +
                  (trim(k.raw).empty() ? "is empty"
                                       : "has a space after its colon: the value ends at the "
                                         "first space, so it is read as empty") +
                  ": the country has no code, and neither the group file's path nor the "
                  "current-version file can match it; write CID:" +
                  (trim(k.raw).empty() ? std::string("XXX") : trim(k.raw)));
        return;
    }
    if (!isCode(k.value))
        addAt(out, Severity::Warning, Code::LintCode, t, k.line,
              "CID '" + k.value +
                  "' is not three upper-case letters: the current-version file's lines are "
                  "matched on the first three characters, and the unit names its countries "
                  "by three letters; write the country's code, e.g. CID:" +
                  (k.value.size() >= 3 ? upper(k.value.substr(0, 3)) : std::string("FRA")));
}

// The lines of a key-and-value file of kind `file`, and the values the
// module reads from it. Returns the first line of each key.
FirstLines lintKeyFile(const Text &t, TextFile file, std::vector<Finding> &out) {
    if (!lintEncoding(t, out))
        return FirstLines();
    lintLineEnds(t, out);
    const FirstLines firsts = firstLines(t);
    std::set<std::string> present;
    for (const auto &f : firsts)
        present.insert(f.first);
    for (const Line &l : t.lines) {
        const size_t colon = l.text.find(':');
        if (trim(l.text).empty() || colon == std::string::npos)
            continue;
        const std::string key = l.text.substr(0, colon);
        const std::string bare = trim(key);
        if (bare.empty())
            continue; // no key at all: no reader takes the line, nor is meant to
        if (t.bom && l.number == 1) {
            const Severity s = hidingSeverity(bare, file, present);
            addAt(out, s, Code::LintBom, t, 1,
                  bomText("its key is not '" + bare + "' for the module" + hidingCost(s, bare)));
            continue;
        }
        if (bare != key) {
            const Severity s = hidingSeverity(bare, file, present);
            addAt(out, s, Code::LintSpace, t, l.number,
                  "a space " + std::string(isBlank(key[0]) ? "before" : "after") + " the key '" +
                      bare + "': '" + bare +
                      ":' is matched from the line's first column, so this line is not seen" +
                      hidingCost(s, bare) + "; write '" + bare + ":" +
                      trim(l.text.substr(colon + 1)) + "'");
            continue;
        }
        if (findKey(key, file) == nullptr) {
            const KnownKey *near = nearestKey(key, file);
            if (near == nullptr)
                continue;
            const Severity s = hidingSeverity(near->key, file, present);
            addAt(out, s, Code::LintKeyUnknown, t, l.number,
                  "unknown key '" + key + "': did you mean " + near->key + "? " +
                      unknownCost(key, *near, s, present) + "; write " + near->key + ":");
            continue;
        }
        const KeyLine &first = firsts.at(key);
        if (first.line != l.number) {
            addAt(out, Severity::Warning, Code::LintKeyTwice, t, l.number,
                  "a second " + key + " line: the first one (line " + std::to_string(first.line) +
                      ") is read and this one ignored; keep one");
            continue;
        }
        if (file == TextFile::CountryInfo) {
            bool ok = true;
            if (key == "VERSION" || key == "RELEASE")
                ok = lintNumber(t, key, first, true, 2147483647ULL, Severity::Error, out);
            else if (startsWith(key, "CID_SIZE"))
                ok = lintNumber(t, key, first, false, 4294967295ULL, Severity::Error, out);
            else if (key == "CID")
                lintCode(t, first, out);
            if (ok)
                lintTail(t, key, first, out);
        } else if (file == TextFile::PoiInfo && key == "DATE") {
            if (lintNumber(t, key, first, true, 2147483647ULL, Severity::Warning, out))
                lintTail(t, key, first, out);
        }
    }
    lintBomLeft(t, out);
    return firsts;
}

// ---- The current-version file ------------------------------------------------

void lintCurrVers(const Text &t, std::vector<Finding> &out) {
    if (!lintEncoding(t, out))
        return;
    lintLineEnds(t, out);
    // The codes of the lines the module takes for countries' lines.
    std::set<std::string> codes;
    for (const Line &l : t.lines)
        if (!(t.bom && l.number == 1) && startsWith(l.text, "CID:"))
            codes.insert(l.text.substr(4, 3));
    for (const Line &l : t.lines) {
        const std::string bare = trim(l.text);
        if (bare.empty())
            continue;
        const bool proper = startsWith(l.text, "CID:") && !(t.bom && l.number == 1);
        if (!proper) {
            if (!startsWith(upper(bare), "CID:"))
                continue; // no country's line: skipped by the module, and meant to be
            const std::string code = bare.substr(4, 3);
            const Severity s = codes.count(code) != 0 ? Severity::Warning : Severity::Error;
            const std::string cost =
                s == Severity::Error ? ": the country " + code + " has no line and is refused" : "";
            if (t.bom && l.number == 1)
                addAt(out, s, Code::LintBom, t, 1,
                      bomText("the line does not begin with 'CID:' and is skipped" + cost));
            else if (bare != l.text.substr(0, bare.size()))
                addAt(out, s, Code::LintSpace, t, l.number,
                      "a space before 'CID:': the module takes only lines that begin with "
                      "'CID:' in the first column and skips this one" +
                          cost + "; remove the space");
            else
                addAt(out, s, Code::LintKeyUnknown, t, l.number,
                      "'" + bare.substr(0, 4) +
                          "' is not 'CID:': did you mean CID? The module takes only lines that "
                          "begin with 'CID:' in upper case and skips this one" +
                          cost + "; write CID:");
            continue;
        }
        const std::vector<std::string> fields = splitCommas(l.text);
        const std::string code = fields[0].substr(4);
        if (!code.empty() && isBlank(code[0])) {
            addAt(out, Severity::Error, Code::LintSpace, t, l.number,
                  "a space after 'CID:': the module compares the three characters after the "
                  "colon with the country's code, and '" +
                      code.substr(0, 3) + "' is none; write 'CID:" + trim(code) + ",'");
            continue;
        }
        if (trim(code) != code)
            addAt(out, Severity::Warning, Code::LintSpace, t, l.number,
                  "the code '" + code +
                      "' holds a space next to its comma; write 'CID:" + trim(code) + ",'");
        else if (!isCode(code))
            addAt(out, Severity::Warning, Code::LintCode, t, l.number,
                  "the code '" + code +
                      "' is not three upper-case letters: the module matches it with the "
                      "countries' codes on its first three characters; write the country's "
                      "three-letter code");
        for (size_t i = 3; i < fields.size() && i <= 7; ++i)
            if (trim(fields[i]) != fields[i]) {
                addAt(out, Severity::Warning, Code::LintSpace, t, l.number,
                      "field " + std::to_string(i) + " '" + fields[i] +
                          "' holds a space next to a comma: fields are not trimmed, and the "
                          "unit shows it with the space; write '" +
                          trim(fields[i]) + "'");
                break;
            }
    }
    lintBomLeft(t, out);
}

// ---- The POI delivery's text files ------------------------------------------

// A .txt of a delivered country folder, as the POI merge reads it: the last
// line of a key counts, and its value ends at CR or LF only (spaces stay).
// `named` is its file name; `versionFile`: it is a group's version file
// poi_ver_<P>.txt, whose PREFIX and DATE the merge needs; `siblings` are
// the file names of its folder.
void lintPoiText(const Text &t, const std::string &named, bool versionFile,
                 const std::set<std::string> &siblings, std::vector<Finding> &out) {
    if (!lintEncoding(t, out))
        return;
    lintLineEnds(t, out);
    FirstLines lasts; // the line of each key that counts: its last
    for (const Line &l : t.lines) {
        const size_t colon = l.text.find(':');
        if ((t.bom && l.number == 1) || colon == std::string::npos || colon == 0)
            continue;
        KeyLine k;
        k.line = l.number;
        k.raw = l.text.substr(colon + 1);
        k.value = k.raw.substr(0, k.raw.find('\r'));
        lasts[l.text.substr(0, colon)] = k;
    }
    // A key hidden by a mistake matters where the merge needs it: the
    // group's version file without its PREFIX or DATE is never updated.
    auto severity = [&](const std::string &key) {
        return versionFile && findKey(key, TextFile::PoiText) != nullptr && lasts.count(key) == 0
                   ? Severity::Error
                   : Severity::Warning;
    };
    auto cost = [&](Severity s, const std::string &key) {
        return s == Severity::Error ? ", so the merge finds no " + key +
                                          " in the group's version file and never updates "
                                          "the group over an installed one"
                                    : std::string();
    };
    for (const Line &l : t.lines) {
        const size_t colon = l.text.find(':');
        if (trim(l.text).empty() || colon == std::string::npos)
            continue;
        const std::string key = l.text.substr(0, colon);
        const std::string bare = trim(key);
        if (bare.empty())
            continue;
        if (t.bom && l.number == 1) {
            const Severity s = severity(bare);
            addAt(out, s, Code::LintBom, t, 1,
                  bomText("its key is not '" + bare + "' for the merge" + cost(s, bare)));
            continue;
        }
        if (bare != key) {
            const Severity s = severity(bare);
            addAt(out, s, Code::LintSpace, t, l.number,
                  "a space next to the key '" + bare + "': the merge matches '" + bare +
                      ":' from the line's first column and does not see this line" + cost(s, bare) +
                      "; write '" + bare + ":'");
            continue;
        }
        if (findKey(key, TextFile::PoiText) == nullptr) {
            const KnownKey *near = nearestKey(key, TextFile::PoiText);
            if (near != nullptr) {
                const Severity s = severity(near->key);
                addAt(out, s, Code::LintKeyUnknown, t, l.number,
                      "unknown key '" + key + "': did you mean " + near->key + "?" +
                          (s == Severity::Error ? " The merge finds no " + std::string(near->key) +
                                                      cost(s, near->key).substr(1)
                                                : std::string(" Nobody reads it")) +
                          "; write " + near->key + ":");
            }
            continue;
        }
        const KeyLine &last = lasts.at(key);
        if (last.line != l.number) {
            addAt(out, Severity::Warning, Code::LintKeyTwice, t, l.number,
                  "a second " + key + " line: here the last one (line " +
                      std::to_string(last.line) + ") is read and this one ignored; keep one");
            continue;
        }
        if (key == "PREFIX") {
            if (trim(last.value) != last.value && !trim(last.value).empty())
                addAt(out, Severity::Error, Code::LintSpace, t, l.number,
                      "PREFIX '" + last.value +
                          "' keeps its spaces: the group's files are those named after it, "
                          "spaces included, and none is; write PREFIX:" +
                          trim(last.value));
            else if (!last.value.empty() && siblings.count("poi_ver_" + last.value + ".txt") == 0)
                addAt(out, versionFile ? Severity::Error : Severity::Warning, Code::LintCode, t,
                      l.number,
                      "PREFIX '" + last.value + "' in " + named +
                          ": the merge reads the group's "
                          "DATE from poi_ver_" +
                          last.value +
                          ".txt, which the folder lacks, and never updates the group over an "
                          "installed one; write the prefix the file is named after");
        } else if (key == "DATE") {
            // Read with CKWString::ToInt: blanks skipped, a sign, digits.
            const std::string v = trim(last.value);
            std::string unsignedPart = v;
            if (!v.empty() && (v[0] == '+' || v[0] == '-'))
                unsignedPart = v.substr(1);
            if (!allDigits(unsignedPart) || !atMost(unsignedPart, 2147483647ULL))
                addAt(out, Severity::Error, Code::LintNotInteger, t, l.number,
                      "DATE '" + last.value +
                          "' is not a number up to 2147483647: the merge "
                          "reads it as " +
                          std::to_string(unitNumber(v, true)) +
                          " and updates the group only when that is not below the installed "
                          "group's date; write the date as digits, YYYYMMDD");
        }
    }
    lintBomLeft(t, out);
}

// The .txt members of the POI archive `rel` under tmp_poi/<CID>/ (those of
// at most k_max_poi_text bytes, until k_max_poi_text_bytes are read); an
// archive that cannot be read is told by the archive checks.
void lintPoiArchive(const std::string &root, const std::string &rel, std::vector<Finding> &out) {
    const std::string host = root + "/" + rel;
    std::error_code ec;
    if (!fs::is_regular_file(host, ec))
        return;
    struct archive *a = archive_read_new();
    archive_read_support_filter_all(a);
    archive_read_support_format_tar(a);
    archive_read_support_format_gnutar(a);
    std::map<std::string, std::string> texts;             // member -> bytes
    size_t kept = 0;                                      // bytes of `texts`
    std::map<std::string, std::set<std::string>> folders; // folder -> file names
    if (archive_read_open_filename(a, host.c_str(), size_t(64) * 1024) == ARCHIVE_OK) {
        struct archive_entry *e = nullptr;
        while (archive_read_next_header(a, &e) == ARCHIVE_OK) {
            const char *p = archive_entry_pathname(e);
            std::string name = p != nullptr ? p : "";
            while (startsWith(name, "./"))
                name.erase(0, 2);
            const size_t slash = name.find_last_of('/');
            if (archive_entry_filetype(e) != AE_IFREG || !startsWith(name, "tmp_poi/") ||
                slash == std::string::npos || slash < 9)
                continue;
            const std::string file = name.substr(slash + 1);
            folders[name.substr(0, slash)].insert(file);
            const size_t dot = file.find_last_of('.');
            const la_int64_t size = archive_entry_size(e);
            if (dot == std::string::npos || file.substr(dot + 1) != "txt" || size < 0 ||
                size > k_max_poi_text)
                continue;
            if (kept + static_cast<size_t>(size) > k_max_poi_text_bytes)
                break; // enough to tell: the rest is not read
            std::string bytes(static_cast<size_t>(size), '\0');
            size_t got = 0;
            while (got < bytes.size()) {
                const la_ssize_t n = archive_read_data(a, &bytes[got], bytes.size() - got);
                if (n <= 0)
                    break;
                got += static_cast<size_t>(n);
            }
            if (got < bytes.size())
                break; // a damaged archive: told by the archive checks
            kept += bytes.size();
            texts[name] = bytes;
        }
    }
    archive_read_free(a);
    for (const auto &m : texts) {
        const size_t slash = m.first.find_last_of('/');
        const std::string file = m.first.substr(slash + 1);
        Text t;
        t.rel = rel + "/" + m.first;
        splitText(m.second, t);
        lintPoiText(t, file, startsWith(file, "poi_ver_"), folders[m.first.substr(0, slash)], out);
    }
}

// ---- The whole medium ------------------------------------------------------------

struct Lint {
    Lint(const std::string &r, std::vector<Finding> &o) : root(r), out(o) {}
    const std::string &root;
    std::vector<Finding> &out;
    std::set<std::string> done; // files linted
    // CID -> the country folder and information file that first gave it.
    std::map<std::string, std::pair<std::string, std::string>> cids;

    // Information files by path: linted once, their keys kept for every
    // folder whose descriptor names them.
    std::map<std::string, FirstLines> infos;

    // The information file `rel`, linted the first time; nullptr when it
    // cannot be read.
    const FirstLines *info(const std::string &rel) {
        auto it = infos.find(rel);
        if (it != infos.end())
            return &it->second;
        Text t;
        if (!take(rel, t))
            return nullptr;
        return &(infos[rel] = lintKeyFile(t, TextFile::CountryInfo, out));
    }

    // Reads `rel` once: false when it was read before or cannot be.
    bool take(const std::string &rel, Text &t) {
        return done.insert(rel).second && readText(root, rel, t);
    }

    // A file a descriptor names, by what its name makes it.
    void namedFile(const Record &r) {
        const std::string name = lastComponent(r.path);
        Text t;
        if (startsWith(name, "CD_VER.NAV.INF")) {
            info(r.path);
        } else if (startsWith(name, "DVD_VER.NAV") || startsWith(name, "CD_VER.NAV")) {
            if (take(r.path, t))
                lintKeyFile(t, TextFile::VersionFile, out);
        } else if (startsWith(name, "CURR_VERS_NAVI.TXT")) {
            if (take(r.path, t))
                lintCurrVers(t, out);
        } else if (startsWith(name, "GRUPPO_4_CID.DAT.inf")) {
            groupFile(r.path, "");
        }
    }

    // The group file the module reads for an entry at `listed`: the file
    // GRUPPO_4_CID.DAT.inf in that entry's folder; its VER must be `cid`.
    void groupFile(const std::string &listed, const std::string &cid) {
        const std::string rel =
            listed.substr(0, listed.find_last_of('/') + 1) + "GRUPPO_4_CID.DAT.inf";
        Text t;
        if (!take(rel, t))
            return;
        const FirstLines firsts = lintKeyFile(t, TextFile::GroupFile, out);
        auto ver = firsts.find("VER");
        if (cid.empty() || ver == firsts.end() || ver->second.value == cid)
            return;
        addAt(out, Severity::Error, Code::LintCode, t, ver->second.line,
              "VER '" + ver->second.value + "' is not the country's code '" + cid +
                  "' (its CD_VER.NAV.INF's CID): the module refuses the country unless they are "
                  "equal; write VER:" +
                  cid);
    }

    // The country folder MAPPE/`dir`: its descriptor, its information file
    // (the first the descriptor lists, as the module takes it), its group
    // file and the files it names.
    void country(const std::string &dir) {
        Text d;
        if (!take("MAPPE/" + dir + "/DESCRI.DAT", d))
            return;
        const std::vector<Record> records =
            lintDescriptor(root, d, TextFile::CountryDescriptor, out);
        std::string cid;
        for (const Record &r : records)
            if (startsWith(lastComponent(r.path), "CD_VER.NAV.INF")) {
                cid = countryInfo(dir, r.path);
                break;
            }
        for (const Record &r : records)
            if (startsWith(lastComponent(r.path), "GRUPPO_4_CID.DAT.inf")) {
                groupFile(r.path, cid);
                break;
            }
        for (const Record &r : records)
            namedFile(r);
    }

    // The information file `rel` of folder MAPPE/`dir`: its CID must name
    // the folder and no other folder. Returns the CID as the module reads it.
    std::string countryInfo(const std::string &dir, const std::string &rel) {
        const FirstLines *lines = info(rel);
        if (lines == nullptr)
            return "";
        const FirstLines &firsts = *lines;
        Text t; // where the findings go
        t.rel = rel;
        auto it = firsts.find("CID");
        if (it == firsts.end() || it->second.value.empty())
            return "";
        const KeyLine &k = it->second;
        if (k.value != dir)
            addAt(out, Severity::Error, Code::LintFolderNotCid, t, k.line,
                  "CID '" + k.value + "', but the folder is MAPPE/" + dir +
                      ": the script reads MAPPE/" + k.value +
                      "/DESCRI.DAT and fails the country; rename the folder MAPPE/" + k.value +
                      " (or correct the CID)");
        auto seen = cids.find(k.value);
        if (seen != cids.end())
            addAt(out, Severity::Error, Code::LintCidTwice, t, k.line,
                  "CID '" + k.value + "' of MAPPE/" + dir + " is also the code of MAPPE/" +
                      seen->second.first + " (" + seen->second.second +
                      "): the module offers the country twice and the script installs it "
                      "twice; give each folder its own country");
        else
            cids[k.value] = {dir, rel};
        return k.value;
    }
};

} // namespace

const KnownKey *nearestKey(const std::string &word, TextFile file) {
    const KnownKey *best = nullptr;
    size_t bestDistance = SIZE_MAX;
    const std::string w = upper(word);
    for (const KnownKey &k : knownKeys()) {
        if (k.file != file)
            continue;
        const std::string key = k.key;
        const size_t d = editDistance(w, key);
        if (d <= (key.size() <= 4 ? 1u : 2u) && d < bestDistance) {
            best = &k;
            bestDistance = d;
        }
    }
    return best;
}

void lintMedium(const std::string &mediaDir, const std::string &descriptor,
                std::vector<Finding> &findings) {
    Lint lint(mediaDir, findings);
    Text main;
    if (lint.take(descriptor, main))
        for (const Record &r : lintDescriptor(mediaDir, main, TextFile::MainDescriptor, findings)) {
            lint.namedFile(r);
            if (r.key == "POI_DOWNLOAD" || (startsWith(r.key, "POI") && r.path.size() > 4 &&
                                            lower(r.path.substr(r.path.size() - 4)) == ".tgz")) {
                Text inf;
                if (lint.take(r.path + ".inf", inf))
                    lintKeyFile(inf, TextFile::PoiInfo, findings);
                if (lint.done.insert(r.path).second)
                    lintPoiArchive(mediaDir, r.path, findings);
            }
        }
    std::error_code ec;
    std::vector<std::string> dirs;
    if (fs::is_directory(mediaDir + "/MAPPE", ec))
        for (const auto &e : fs::directory_iterator(mediaDir + "/MAPPE", ec))
            if (e.is_directory(ec))
                dirs.push_back(e.path().filename().string());
    std::sort(dirs.begin(), dirs.end());
    for (const std::string &dir : dirs)
        lint.country(dir);
}

} // namespace mediacheck
