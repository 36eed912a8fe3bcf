// The demo's sample unit: a country-selection map medium (descriptor files,
// version files, one folder and map archive per country, a POI delivery) and
// an SD card with installed maps and user POIs, written from nothing, with a
// small ustar/gzip writer of its own.
#include "tools/scripthost/demo.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace scripthost {
namespace demo {

namespace {

namespace fs = std::filesystem;

const char k_provider[] = "Demo Maps";
const char k_data_date[] = "2024-09-15";
const char k_quarter[] = "3";
const char k_year[] = "2024";

// FRA: installed and older than the medium (upgraded); DEU: installed and
// newer (kept); ITA: not installed (installed new).
const std::vector<SampleCountry> k_countries = {
    {"FRA", "France", 7, 2, 5, 1, true},
    {"DEU", "Deutschland", 8, 3, 9, 0, true},
    {"ITA", "Italia", 7, 1, -1, 0, true},
};
const std::vector<std::string> k_poi_only = {"ESP"};

// One file of a map archive and its share of the country's map bytes.
struct MapFile {
    const char *name;
    unsigned percent;
};
const MapFile k_map_files[] = {{"ROADS.DAT", 60}, {"NAMES.DAT", 30}, {"INDEX.DAT", 10}};

// Writes a ustar archive through zlib's gzip stream.
class TgzWriter {
public:
    explicit TgzWriter(const std::string &path) : m_gz(gzopen(path.c_str(), "wb1")) {}
    ~TgzWriter() {
        if (m_gz != nullptr)
            gzclose(m_gz);
    }
    TgzWriter(const TgzWriter &) = delete;
    TgzWriter &operator=(const TgzWriter &) = delete;

    bool ok() const { return m_gz != nullptr && m_ok; }
    void dir(const std::string &name) { header(name, 0, '5'); }
    void file(const std::string &name, const std::string &content) {
        header(name, content.size(), '0');
        put(content.data(), content.size());
        pad(content.size());
    }
    // A file of `size` bytes of map records: one block of records repeated,
    // so that the archive stays small while the extraction writes every byte.
    void mapFile(const std::string &name, const std::string &cid, unsigned long size) {
        header(name, size, '0');
        std::string block;
        for (unsigned long record = 0; block.size() < 16384; ++record) {
            char line[96];
            int n = std::snprintf(line, sizeof line, "%s %s %06lu lat=%+09.5f lon=%+010.5f\n",
                                  cid.c_str(), name.c_str(), record,
                                  static_cast<double>(record * 37 % 18000) / 100.0 - 90.0,
                                  static_cast<double>(record * 71 % 36000) / 100.0 - 180.0);
            block.append(line, static_cast<std::size_t>(n));
        }
        for (unsigned long written = 0; written < size && ok();) {
            unsigned long take = std::min<unsigned long>(block.size(), size - written);
            put(block.data(), take);
            written += take;
        }
        pad(size);
    }
    bool finish() {
        char zeros[1024] = {};
        put(zeros, sizeof zeros);
        bool good = ok();
        int rc = gzclose(m_gz);
        m_gz = nullptr;
        return good && rc == Z_OK;
    }

private:
    void put(const char *data, std::size_t size) {
        if (m_gz == nullptr || size == 0)
            return;
        if (gzwrite(m_gz, data, static_cast<unsigned>(size)) != static_cast<int>(size))
            m_ok = false;
    }
    void pad(unsigned long size) {
        char zeros[512] = {};
        unsigned long rest = size % 512;
        if (rest != 0)
            put(zeros, 512 - rest);
    }
    void header(const std::string &name, unsigned long size, char type) {
        char h[512] = {};
        std::snprintf(h, 100, "%s", name.c_str());
        std::snprintf(h + 100, 8, "%07o", type == '5' ? 0755u : 0644u);
        std::snprintf(h + 108, 8, "%07o", 0u);
        std::snprintf(h + 116, 8, "%07o", 0u);
        std::snprintf(h + 124, 12, "%011lo", size);
        std::snprintf(h + 136, 12, "%011lo", 1726358400ul); // the data's date
        h[156] = type;
        std::memcpy(h + 257, "ustar", 6);
        std::memcpy(h + 263, "00", 2);
        std::snprintf(h + 265, 32, "demo");
        std::snprintf(h + 297, 32, "demo");
        std::memset(h + 148, ' ', 8);
        unsigned sum = 0;
        for (unsigned char c : h)
            sum += c;
        std::snprintf(h + 148, 8, "%06o", sum);
        h[155] = ' ';
        put(h, sizeof h);
    }

    gzFile m_gz;
    bool m_ok = true;
};

bool writeText(const std::string &path, const std::string &text, std::string &error) {
    std::error_code ec;
    fs::create_directories(fs::path(path).parent_path(), ec);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out)
        error = "cannot write " + path;
    return static_cast<bool>(out);
}

unsigned long roundUp(unsigned long bytes, unsigned long block) {
    return (bytes + block - 1) / block * block;
}

// Sizes of a country's map files.
std::vector<unsigned long> mapFileSizes(unsigned long mapBytes) {
    std::vector<unsigned long> sizes;
    for (const MapFile &f : k_map_files)
        sizes.push_back(mapBytes / 100 * f.percent);
    return sizes;
}

// "CD_VER.NAV.INF" of a country: the size values are the bytes the map files
// take on a card of each block size.
std::string countryInfo(const std::string &cid, int version, int release,
                        const std::vector<unsigned long> &sizes) {
    std::string text = "CID:" + cid + "\nVERSION:" + std::to_string(version) +
                       "\nRELEASE:" + std::to_string(release) + "\n";
    unsigned long plain = 0;
    for (unsigned long s : sizes)
        plain += s;
    for (unsigned long kib : {4ul, 8ul, 16ul, 32ul}) {
        unsigned long total = 0;
        for (unsigned long s : sizes)
            total += roundUp(s, kib * 1024);
        text += "CID_SIZE_" + std::to_string(kib) + ":" + std::to_string(total) + "\n";
    }
    text += "CID_SIZE:" + std::to_string(plain) + "\n";
    return text;
}

bool buildMedium(const std::string &media, const SampleOptions &options, std::string &error) {
    // The main descriptor: the list's version file (written with the
    // backslashes of the medium's authoring tools), the current-version file,
    // the brand icons and the POI delivery.
    std::string descri = "DB_DOWNLOAD_NAV,1,MAPPE\\DVD_VER.NAV,0,list of countries\n"
                         "GRUPPO_ROOT_CURR,1,MAPPE/CURR_VERS_NAVI.TXT,0,current versions\n"
                         "ICON_BRANDS,1,ICONS/BRANDS.DAT,0,brand icons\n"
                         "POI_DOWNLOAD,1,POI/POI_UPD.tgz,0,POI delivery\n";
    std::string currVers;
    for (const SampleCountry &c : k_countries) {
        currVers += std::string("CID:") + c.cid + ",EU," + c.cid + "-" +
                    std::to_string(c.mediaVersion) + "," + k_quarter + "," + k_year + ",\"" +
                    k_data_date + "\",\"" + c.name + "\",\"" + k_provider + "\"\n";
    }
    if (!writeText(media + "/DESCRI.DAT", descri, error) ||
        !writeText(media + "/MAPPE/DVD_VER.NAV", "VERSION:2024.3\nAREA:EU\n", error) ||
        !writeText(media + "/MAPPE/CURR_VERS_NAVI.TXT", currVers, error) ||
        !writeText(media + "/ICONS/BRANDS.DAT", "BRANDS:12\n", error))
        return false;

    std::vector<unsigned long> sizes = mapFileSizes(options.mapBytes);
    for (const SampleCountry &c : k_countries) {
        std::string cid = c.cid;
        std::string dir = media + "/MAPPE/" + cid;
        std::string countryDescri = "CID_INFO,1,MAPPE/" + cid + "/CD_VER.NAV.INF,0,country\n" +
                                    "GRUPPO_4_CID,1,MAPPE/" + cid +
                                    "/GRUPPO_4_CID.DAT.inf,0,group\n" + "MAP_ARCHIVE,1,MAPPE/" +
                                    cid + "/" + cid + ".tgz,0,map data\n";
        if (!writeText(dir + "/DESCRI.DAT", countryDescri, error) ||
            !writeText(dir + "/GRUPPO_4_CID.DAT.inf", "VER:" + cid + "\n", error) ||
            !writeText(dir + "/CD_VER.NAV.INF",
                       countryInfo(cid, c.mediaVersion, c.mediaRelease, sizes), error))
            return false;
        TgzWriter tgz(dir + "/" + cid + ".tgz");
        tgz.dir(cid + "/");
        for (std::size_t i = 0; i < sizes.size(); ++i)
            tgz.mapFile(cid + "/" + k_map_files[i].name, cid, sizes[i]);
        if (!tgz.finish()) {
            error = "cannot write " + dir + "/" + cid + ".tgz";
            return false;
        }
    }

    // The POI delivery: per country, a restaurant group dated after the
    // user's and a fuel group dated before it (so only the restaurants
    // replace the user's files), and a file of no group.
    std::error_code ec;
    fs::create_directories(media + "/POI", ec);
    TgzWriter poi(media + "/POI/POI_UPD.tgz");
    poi.dir("tmp_poi/");
    std::vector<std::string> poiCountries;
    for (const SampleCountry &c : k_countries)
        if (c.inPoiDelivery)
            poiCountries.push_back(c.cid);
    poiCountries.insert(poiCountries.end(), k_poi_only.begin(), k_poi_only.end());
    for (const std::string &cid : poiCountries) {
        std::string d = "tmp_poi/" + cid + "/";
        poi.dir(d);
        poi.file(d + "RST.lzw", "restaurants of " + cid + ", 2024 delivery\n");
        poi.file(d + "RSTdsc.lzw", "restaurant categories, 2024 delivery\n");
        poi.file(d + "RST_1.lzw", "restaurant icons, 2024 delivery\n");
        poi.file(d + "poi_ver_RST.txt", "PREFIX:RST\nDATE:20240901\n");
        poi.file(d + "FUEL.lzw", "fuel stations of " + cid + ", 2024 delivery\n");
        poi.file(d + "poi_ver_FUEL.txt", "PREFIX:FUEL\nDATE:20240101\n");
        poi.file(d + "NOTES.dat", "delivery notes\n");
    }
    if (!poi.finish()) {
        error = "cannot write " + media + "/POI/POI_UPD.tgz";
        return false;
    }
    return writeText(media + "/POI/POI_UPD.tgz.inf", "VERSION:2024.09\nDATE:20240901\n", error);
}

bool buildCard(const std::string &sd, const SampleOptions &options, std::string &error) {
    std::vector<unsigned long> oldSizes = mapFileSizes(options.mapBytes / 2);
    for (const SampleCountry &c : k_countries) {
        if (c.installedVersion < 0)
            continue;
        std::string cid = c.cid;
        std::string dir = sd + "/MAPPE/" + cid;
        if (!writeText(dir + "/CD_VER.NAV.INF",
                       countryInfo(cid, c.installedVersion, c.installedRelease, oldSizes), error))
            return false;
        for (std::size_t i = 0; i < oldSizes.size(); ++i)
            if (!writeText(dir + "/" + k_map_files[i].name,
                           cid + " map data, version " + std::to_string(c.installedVersion) + "\n",
                           error))
                return false;
    }
    // The user's POIs of France: an older restaurant group, a newer fuel
    // group, and places of the user's own that no delivery carries.
    std::string user = sd + "/MAPPE/POI_USER/FRA";
    return writeText(user + "/RST.lzw", "restaurants of FRA, 2023\n", error) &&
           writeText(user + "/RSTdsc.lzw", "restaurant categories, 2023\n", error) &&
           writeText(user + "/poi_ver_RST.txt", "PREFIX:RST\nDATE:20230101\n", error) &&
           writeText(user + "/FUEL.lzw", "fuel stations of FRA, June 2024\n", error) &&
           writeText(user + "/poi_ver_FUEL.txt", "PREFIX:FUEL\nDATE:20240601\n", error) &&
           writeText(user + "/MYPLACES.lzw", "the driver's own places\n", error) &&
           writeText(sd + "/POI_VER.POI", "VERSION:2023.01\nDATE:20230101\n", error);
}

} // namespace

const char k_poi_archive[] = "/DVD/POI/POI_UPD.tgz";

const std::vector<SampleCountry> &sampleCountries() {
    return k_countries;
}
const std::vector<std::string> &samplePoiOnlyCountries() {
    return k_poi_only;
}

bool buildSampleUnit(const std::string &root, const SampleOptions &options, std::string &error) {
    std::error_code ec;
    for (const char *sub : {"/media", "/sd", "/flash"}) {
        fs::create_directories(root + sub, ec);
        if (ec) {
            error = "cannot create " + root + sub;
            return false;
        }
    }
    return buildMedium(root + "/media", options, error) && buildCard(root + "/sd", options, error);
}

} // namespace demo
} // namespace scripthost
