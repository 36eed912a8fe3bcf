// Fuzz target: the script builtins driven as a script would, on a medium made
// from the input. The input holds pieces separated by lines "--":
//
//   0  the calls, one per line: a letter naming the builtin, then its
//      arguments separated by "|" (texts as they are, numbers in decimal)
//   1  the medium's main "DESCRI.DAT"       2  "MAPS/CURR_VERS_NAVI.TXT"
//   3  "MAPPE/ITA/DESCRI.DAT"               4  "MAPPE/ITA/CD_VER.NAV.INF"
//   5  "MAPPE/ITA/GRUPPO_4_CID.DAT.inf"     6  the SD card's "MAPPE/ITA/CD_VER.NAV.INF"
//   7  a file "/DVD/a.tgz"
//
// Every text argument lives in a heap block of exactly its own size and every
// output buffer has exactly the size the builtin documents, so a read or write
// past them is caught. Paths handed to the builtins that write files are kept
// under the simulated devices (a device prefix, no ".."), so that a fuzzed
// path never reaches the host's own folders.
#include "fuzz/fuzz_support.h"

#include "C_MAP_UPG_CARTOTREE.h"
#include "builtins/C_BUILTINS.h"
#include "builtins/upg_country_table.h"
#include "platform/hostsim/hostsim.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using hostsim::EicArg;

// Owns the argument blocks of one call.
struct Args {
    std::vector<std::unique_ptr<char[]>> blocks;
    std::vector<EicArg> list;

    char *text(const std::string &p_text) {
        blocks.emplace_back(new char[p_text.size() + 1]);
        std::memcpy(blocks.back().get(), p_text.c_str(), p_text.size() + 1);
        list.push_back(EicArg::Ptr(blocks.back().get()));
        return blocks.back().get();
    }
    char *out(size_t p_size) {
        blocks.emplace_back(new char[p_size]);
        std::memset(blocks.back().get(), 0x5a, p_size);
        list.push_back(EicArg::Ptr(blocks.back().get()));
        return blocks.back().get();
    }
    void number(int p_value) { list.push_back(EicArg::Int(p_value)); }
    int *intPtr(int p_value) {
        char *l_block = out(sizeof(int));
        std::memcpy(l_block, &p_value, sizeof(int));
        return reinterpret_cast<int *>(l_block);
    }
};

std::vector<std::string> Fields(const std::string &p_line) {
    std::vector<std::string> l_fields;
    size_t l_start = 0;
    for (;;) {
        size_t l_bar = p_line.find('|', l_start);
        l_fields.push_back(p_line.substr(l_start, l_bar - l_start));
        if (l_bar == std::string::npos)
            break;
        l_start = l_bar + 1;
    }
    while (l_fields.size() < 5)
        l_fields.emplace_back();
    return l_fields;
}

int Number(const std::string &p_text) {
    return static_cast<int>(std::strtol(p_text.c_str(), nullptr, 10));
}

// A path under a device for the builtins that write: null when the fuzzed
// part could climb out of it.
bool DevicePath(const char *p_device, const std::string &p_rest, std::string &p_path) {
    if (p_rest.find("..") != std::string::npos)
        return false;
    p_path = std::string(p_device) + "/" + p_rest;
    return true;
}

int Call(const char *p_name, Args &p_args) {
    val_t l_result;
    if (!hostsim::callBuiltin(p_name, p_args.list, &l_result)) {
        std::fprintf(stderr, "builtin %s is not registered\n", p_name);
        std::abort();
    }
    int l_value = 0;
    std::memcpy(&l_value, &l_result, sizeof l_value);
    return l_value;
}

void RunLine(const std::string &p_line) {
    if (p_line.empty())
        return;
    const std::vector<std::string> l_f = Fields(p_line.substr(1));
    Args l_args;
    std::string l_path1, l_path2;
    switch (p_line[0]) {
    case 'U':
        l_args.text(l_f[0]);
        l_args.text(l_f[1]);
        l_args.intPtr(Number(l_f[2]));
        Call("UpdateDataForCartoTree", l_args);
        break;
    case 'T':
        l_args.text(l_f[0]);
        l_args.intPtr(Number(l_f[1]));
        l_args.out(50);
        l_args.intPtr(7);
        Call("GetNavUpgType", l_args);
        break;
    case 'V':
        l_args.out(50);
        l_args.out(50);
        Call("GetUpgDVD_CurrVersNaviFile", l_args);
        break;
    case 'L': {
        char *l_table = l_args.out(sizeof(t_upg_country_table));
        const int l_rc = Call("Get_DVD_CIDInfoList", l_args);
        // A table is written only when the list was built.
        const t_upg_country_table *l_t = reinterpret_cast<const t_upg_country_table *>(l_table);
        if (l_rc == 0 &&
            (l_t->count < 0 || l_t->count > UPG_COUNTRY_MAX || l_t->total < l_t->count)) {
            std::fprintf(stderr, "Get_DVD_CIDInfoList: count %d\n", l_t->count);
            std::abort();
        }
        break;
    }
    case 'H':
        l_args.text(l_f[0]);
        Call("AddUPGHistoryCommentary", l_args);
        break;
    case 'E':
        for (int l_i = 0; l_i < 5; ++l_i)
            l_args.number(Number(l_f[l_i]));
        Call("ShowNavigationErasingCountryScreen", l_args);
        break;
    case 'C':
        Call("ShowCDCanceled", l_args);
        break;
    case 'M':
        Call("GetMMIStateActive", l_args);
        break;
    case 'S':
        Call("GetSDBlockSize", l_args);
        break;
    case 'A':
        l_args.text(l_f[0]);
        l_args.number(Number(l_f[1]));
        l_args.number(Number(l_f[2]));
        Call("ActivateBargraph", l_args);
        break;
    case 'D':
        Call("DeactivateBargraph", l_args);
        break;
    case 'X':
        if (DevicePath("/DVD", l_f[0], l_path1) && DevicePath("/SDH", l_f[1], l_path2)) {
            l_args.text(l_path1);
            l_args.text(l_path2);
            Call("UnCompress", l_args);
        }
        break;
    case 'P':
        if (DevicePath("/DVD", l_f[0], l_path1) && DevicePath("/SDH", l_f[1], l_path2)) {
            l_args.text(l_path1);
            l_args.text(l_path2);
            l_args.number(Number(l_f[2]));
            Call("UPGCopy", l_args);
        }
        break;
    case 'I':
        if (DevicePath("/DVD", l_f[0], l_path1)) {
            l_args.text(l_path1);
            l_args.text(l_f[1]);
            Call("InstalPOIs", l_args);
        }
        break;
    default:
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string &root = fuzzsupport::scratch();
    fuzzsupport::resetUnit();
    fuzzsupport::cleanScratch();
    std::vector<std::string> parts = fuzzsupport::splitInput(data, size, "\n--\n", 8);
    const std::string l_media = root + "/media/";
    fuzzsupport::writeHostFile(l_media + "DESCRI.DAT", parts[1]);
    fuzzsupport::writeHostFile(l_media + "MAPS/CURR_VERS_NAVI.TXT", parts[2]);
    fuzzsupport::writeHostFile(l_media + "MAPS/DVD_VER.NAV", "1\n");
    fuzzsupport::writeHostFile(l_media + "MAPPE/ITA/DESCRI.DAT", parts[3]);
    fuzzsupport::writeHostFile(l_media + "MAPPE/ITA/CD_VER.NAV.INF", parts[4]);
    fuzzsupport::writeHostFile(l_media + "MAPPE/ITA/GRUPPO_4_CID.DAT.inf", parts[5]);
    fuzzsupport::writeHostFile(root + "/sd/MAPPE/ITA/CD_VER.NAV.INF", parts[6]);
    fuzzsupport::writeHostFile(l_media + "a.tgz", parts[7]);

    if (C_BUILTINS::Instance() == nullptr || C_BUILTINS::GetCartoTreeInstance() == nullptr)
        std::abort();
    // The one carto tree outlives the input: start it from nothing.
    C_MAP_UPG_CARTOTREE *l_tree = C_BUILTINS::GetCartoTreeInstance();
    l_tree->SetMediaCartoDrive(CKWString());
    l_tree->SetProductCartoPath(CKWString());
    l_tree->SetMapPlgin_DVD_or_CD(CKWString());
    l_tree->SetMapPlgin_DVD_CurrVersNavi(CKWString());
    l_tree->SetUpgPlginType(UPG_PLUGIN_TYPE_NONE);
    size_t l_start = 0;
    int l_calls = 0;
    // A bounded number of calls keeps one input fast.
    while (l_start < parts[0].size() && l_calls++ < 32) {
        size_t l_end = parts[0].find('\n', l_start);
        if (l_end == std::string::npos)
            l_end = parts[0].size();
        RunLine(parts[0].substr(l_start, l_end - l_start));
        l_start = l_end + 1;
    }
    Args l_none;
    Call("DeactivateBargraph", l_none);
    fuzzsupport::assertNoTaskLeft();
    return 0;
}
