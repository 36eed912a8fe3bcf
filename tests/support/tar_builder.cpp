// Tar/tgz builder for tests: ustar headers crafted field by field, tar streams
// entry by entry, gzip through zlib, and deterministic sample content.
#include "tests/support/tar_builder.h"

#include <zlib.h>

#include <cstdio>
#include <stdexcept>

namespace testsupport {

const std::vector<TarField> &tarFields() {
    static const std::vector<TarField> fields = {
        {"name", 0, 100},       {"mode", 100, 8},     {"uid", 108, 8},      {"gid", 116, 8},
        {"size", 124, 12},      {"mtime", 136, 12},   {"chksum", 148, 8},   {"typeflag", 156, 1},
        {"linkname", 157, 100}, {"magic", 257, 6},    {"version", 263, 2},  {"uname", 265, 32},
        {"gname", 297, 32},     {"devmajor", 329, 8}, {"devminor", 337, 8}, {"prefix", 345, 155},
        {"reserved", 500, 12},
    };
    return fields;
}

const TarField &tarField(const std::string &name) {
    for (const TarField &f : tarFields())
        if (name == f.name)
            return f;
    throw std::out_of_range("no tar header field " + name);
}

namespace {

// Writes `text` into a field: cut to the width, NUL-padded.
void putField(std::string &raw, const TarField &f, const std::string &text) {
    for (size_t i = 0; i < f.width; i++)
        raw[f.offset + i] = i < text.size() ? text[i] : '\0';
}

std::string octal(uint64_t value, size_t digits) {
    std::string s(digits, '0');
    for (size_t i = digits; i-- > 0;) {
        s[i] = static_cast<char>('0' + (value & 7));
        value >>= 3;
    }
    return s;
}

} // namespace

TarHeader::TarHeader() : m_raw(kTarBlock, '\0') {
    putField(m_raw, tarField("mode"), "0000644");
    putField(m_raw, tarField("uid"), "0000000");
    putField(m_raw, tarField("gid"), "0000000");
    putField(m_raw, tarField("mtime"), "00000000000");
    putField(m_raw, tarField("magic"), std::string("ustar\0", 6));
    putField(m_raw, tarField("version"), "00");
    size(0);
    typeflag('0');
}

TarHeader TarHeader::regular(const std::string &n, uint64_t s) {
    TarHeader h;
    h.name(n).size(s);
    return h;
}

TarHeader TarHeader::directory(const std::string &n) {
    TarHeader h;
    h.name(n).typeflag('5').bytes(tarField("mode").offset, "0000755");
    return h;
}

TarHeader TarHeader::link(const std::string &n, const std::string &target, bool symbolic) {
    TarHeader h;
    h.name(n).linkname(target).typeflag(symbolic ? '2' : '1');
    return h;
}

TarHeader TarHeader::special(const std::string &n, char flag) {
    TarHeader h;
    h.name(n).typeflag(flag);
    return h;
}

TarHeader &TarHeader::name(const std::string &text) {
    putField(m_raw, tarField("name"), text);
    return *this;
}

TarHeader &TarHeader::prefix(const std::string &text) {
    putField(m_raw, tarField("prefix"), text);
    return *this;
}

TarHeader &TarHeader::linkname(const std::string &text) {
    putField(m_raw, tarField("linkname"), text);
    return *this;
}

TarHeader &TarHeader::typeflag(char flag) {
    m_raw[tarField("typeflag").offset] = flag;
    return *this;
}

TarHeader &TarHeader::size(uint64_t value) {
    if (value < (uint64_t(1) << 33))
        putField(m_raw, tarField("size"), octal(value, 11));
    else
        putField(m_raw, tarField("size"), octal(value, 12));
    return *this;
}

TarHeader &TarHeader::sizeField(const std::string &raw) {
    putField(m_raw, tarField("size"), raw);
    return *this;
}

TarHeader &TarHeader::chksumField(const std::string &raw) {
    putField(m_raw, tarField("chksum"), raw);
    m_mode = Checksum::Keep;
    return *this;
}

TarHeader &TarHeader::checksum(Checksum mode) {
    m_mode = mode;
    return *this;
}

TarHeader &TarHeader::checksumOffset(int delta) {
    m_delta = delta;
    return *this;
}

TarHeader &TarHeader::bytes(size_t offset, const std::string &raw) {
    for (size_t i = 0; i < raw.size() && offset + i < kTarBlock; i++)
        m_raw[offset + i] = raw[i];
    return *this;
}

TarHeader &TarHeader::fill(const std::string &field, char byte) {
    const TarField &f = tarField(field);
    for (size_t i = 0; i < f.width; i++)
        m_raw[f.offset + i] = byte;
    return *this;
}

unsigned TarHeader::unsignedSum(const std::string &block) {
    unsigned sum = 0;
    for (size_t i = 0; i < kTarBlock; i++)
        sum += (i >= 148 && i < 156) ? ' ' : static_cast<unsigned char>(block[i]);
    return sum;
}

int TarHeader::signedSum(const std::string &block) {
    int sum = 0;
    for (size_t i = 0; i < kTarBlock; i++)
        sum += (i >= 148 && i < 156) ? ' ' : static_cast<signed char>(block[i]);
    return sum;
}

std::string TarHeader::block() const {
    std::string out = m_raw;
    if (m_mode == Checksum::Keep)
        return out;
    long sum = m_mode == Checksum::Signed ? signedSum(out) : static_cast<long>(unsignedSum(out));
    sum += m_delta;
    // Six octal digits, a NUL and a space, as tar writes it. A negative signed
    // sum cannot be written in octal; it is written as 0.
    std::string field = octal(sum < 0 ? 0 : static_cast<uint64_t>(sum), 6);
    field.push_back('\0');
    field.push_back(' ');
    putField(out, tarField("chksum"), field);
    return out;
}

TarBuilder &TarBuilder::file(const std::string &name, const std::string &content) {
    return header(TarHeader::regular(name, content.size())).data(content);
}

TarBuilder &TarBuilder::dir(const std::string &name) {
    return header(TarHeader::directory(name));
}

TarBuilder &TarBuilder::symlink(const std::string &name, const std::string &target) {
    return header(TarHeader::link(name, target, true));
}

TarBuilder &TarBuilder::hardlink(const std::string &name, const std::string &target) {
    return header(TarHeader::link(name, target, false));
}

TarBuilder &TarBuilder::special(const std::string &name, char typeflag) {
    return header(TarHeader::special(name, typeflag));
}

TarBuilder &TarBuilder::header(const TarHeader &h) {
    m_bytes += h.block();
    return *this;
}

TarBuilder &TarBuilder::data(const std::string &content) {
    m_bytes += content;
    size_t rest = content.size() % kTarBlock;
    if (rest != 0)
        m_bytes.append(kTarBlock - rest, '\0');
    return *this;
}

TarBuilder &TarBuilder::raw(const std::string &bytes) {
    m_bytes += bytes;
    return *this;
}

TarBuilder &TarBuilder::zeros(size_t count) {
    m_bytes.append(count * kTarBlock, '\0');
    return *this;
}

std::string TarBuilder::finish() const {
    return m_bytes + std::string(2 * kTarBlock, '\0');
}

std::string gzip(const std::string &data, int level) {
    z_stream zs{};
    if (deflateInit2(&zs, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return std::string();
    std::string out(deflateBound(&zs, data.size()) + 64, '\0');
    zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data()));
    zs.avail_in = static_cast<uInt>(data.size());
    zs.next_out = reinterpret_cast<Bytef *>(&out[0]);
    zs.avail_out = static_cast<uInt>(out.size());
    int rc = deflate(&zs, Z_FINISH);
    size_t produced = out.size() - zs.avail_out;
    deflateEnd(&zs);
    if (rc != Z_STREAM_END)
        return std::string();
    out.resize(produced);
    return out;
}

std::string cut(const std::string &data, size_t length) {
    return data.substr(0, length < data.size() ? length : data.size());
}

std::string sampleContent(size_t size, uint32_t seed) {
    static const char text[] = "Lorem ipsum dolor sit amet, map tile %u of country %u; ";
    std::string out;
    out.reserve(size);
    uint32_t x = seed * 2654435761u + 1;
    while (out.size() < size) {
        // Alternate stretches of pseudo-random bytes and of repeated text.
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        size_t stretch = 64 + (x % 1024);
        if ((x >> 11) & 1) {
            for (size_t i = 0; i < stretch && out.size() < size; i++) {
                x ^= x << 13;
                x ^= x >> 17;
                x ^= x << 5;
                out.push_back(static_cast<char>(x & 0xFF));
            }
        } else {
            char line[96];
            int n = snprintf(line, sizeof(line), text, x % 1000, seed);
            for (size_t i = 0; i < stretch && out.size() < size; i++)
                out.push_back(line[i % static_cast<size_t>(n)]);
        }
    }
    return out;
}

} // namespace testsupport
