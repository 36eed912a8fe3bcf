// Card images (every file's size and SHA-256), their comparison and the
// throwaway copies of a card.
#include "tools/hostkit/card.h"

#include "tools/hostkit/names.h"

#include <openssl/evp.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <ftw.h>
#include <memory>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace hostkit {

namespace {

// What one walk of a card hands each entry: its path relative to the root
// and its lstat(). Returns false to stop the walk.
typedef std::function<bool(const std::string &rel, const struct stat &st, const char *hostPath)>
    Visit;

// nftw() takes no argument for its callback: the walk of this thread.
struct WalkState {
    std::size_t rootLength = 0;
    const Visit *visit = nullptr;
    bool complete = true;
};
thread_local WalkState *t_walk = nullptr;

int walkEntry(const char *path, const struct stat *st, int flag, struct FTW *where) {
    WalkState &w = *t_walk;
    if (where->level == 0)
        return flag == FTW_D ? 0 : 1; // the root itself: a folder, or nothing to walk
    if (flag == FTW_DNR || flag == FTW_NS) {
        w.complete = false; // a folder not read, an entry not looked at: the image is partial
        return 1;
    }
    const std::string rel = std::string(path).substr(w.rootLength + 1);
    return (*w.visit)(rel, *st, path) ? 0 : 1;
}

// Walks every entry under `root` (each folder before what it holds; links
// are met, never followed), at most 16 folders open at a time. False when
// the root or a folder under it cannot be read, or `visit` stopped it.
bool walkCard(const std::string &root, const Visit &visit) {
    WalkState state;
    state.rootLength = root.size();
    state.visit = &visit;
    WalkState *outer = t_walk;
    t_walk = &state;
    const int rc = nftw(root.c_str(), walkEntry, 16, FTW_PHYS);
    t_walk = outer;
    return rc == 0 && state.complete;
}

} // namespace

ContentHash::ContentHash() : m_ctx(EVP_MD_CTX_new()), m_ok(m_ctx != nullptr) {
    if (m_ok)
        m_ok = EVP_DigestInit_ex(static_cast<EVP_MD_CTX *>(m_ctx), EVP_sha256(), nullptr) == 1;
}

ContentHash::~ContentHash() {
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX *>(m_ctx));
}

void ContentHash::update(const void *data, std::size_t size) {
    if (m_ok && size > 0)
        m_ok = EVP_DigestUpdate(static_cast<EVP_MD_CTX *>(m_ctx), data, size) == 1;
}

bool ContentHash::finish(std::array<unsigned char, 32> &digest) {
    digest.fill(0);
    unsigned int size = 0;
    const bool ok =
        m_ok && EVP_DigestFinal_ex(static_cast<EVP_MD_CTX *>(m_ctx), digest.data(), &size) == 1 &&
        size == digest.size();
    m_ok = false;
    if (!ok)
        digest.fill(0);
    return ok;
}

bool fileSha256(const std::string &hostPath, std::array<unsigned char, 32> &digest) {
    std::unique_ptr<FILE, int (*)(FILE *)> f(std::fopen(hostPath.c_str(), "rb"), std::fclose);
    if (!f)
        return false;
    ContentHash hash;
    std::vector<unsigned char> buf(256 * 1024);
    std::size_t n = 0;
    while ((n = std::fread(buf.data(), 1, buf.size(), f.get())) > 0)
        hash.update(buf.data(), n);
    const bool read = !std::ferror(f.get());
    return hash.finish(digest) && read;
}

std::string hexDigest(const std::array<unsigned char, 32> &digest) {
    static const char k_hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : digest) {
        out += k_hex[c >> 4];
        out += k_hex[c & 15];
    }
    return out;
}

std::string imageDigest(const CardImage &image) {
    ContentHash hash;
    for (const auto &e : image) {
        // The path with its NUL, the kind, the size in 8 bytes (big-endian),
        // the content's digest: no two images hash the same bytes.
        unsigned char head[9];
        head[0] = e.second.folder ? 'd' : 'f';
        for (int i = 0; i < 8; ++i)
            head[1 + i] = static_cast<unsigned char>(e.second.size >> (56 - 8 * i));
        hash.update(e.first.c_str(), e.first.size() + 1);
        hash.update(head, sizeof head);
        hash.update(e.second.sha256.data(), e.second.sha256.size());
    }
    std::array<unsigned char, 32> d{};
    return hash.finish(d) ? hexDigest(d) : std::string();
}

bool imageCard(const std::string &hostDir, CardImage &image) {
    image.clear();
    bool ok = true;
    const bool walked =
        walkCard(hostDir, [&](const std::string &rel, const struct stat &st, const char *path) {
            Entry e;
            if (S_ISDIR(st.st_mode)) {
                e.folder = true;
            } else if (S_ISREG(st.st_mode)) {
                e.size = static_cast<uint64_t>(st.st_size);
                if (!fileSha256(path, e.sha256))
                    ok = false;
            } else {
                ok = false; // a link or a device: never opened, never on a card
                return true;
            }
            image[rel] = e;
            return true;
        });
    return walked && ok;
}

std::vector<Mismatch> compareImages(const CardImage &image, const CardImage &reference,
                                    const std::function<bool(const std::string &)> &keep) {
    std::vector<Mismatch> out;
    auto a = image.begin();
    auto b = reference.begin();
    // Both maps are sorted by path: one merge walk.
    while (a != image.end() || b != reference.end()) {
        if (a != image.end() && keep && !keep(a->first)) {
            ++a;
            continue;
        }
        if (b != reference.end() && keep && !keep(b->first)) {
            ++b;
            continue;
        }
        if (b == reference.end() || (a != image.end() && a->first < b->first)) {
            out.push_back({Mismatch::Extra, a->first, a->second.size, 0});
            ++a;
        } else if (a == image.end() || b->first < a->first) {
            out.push_back({Mismatch::Missing, b->first, 0, b->second.size});
            ++b;
        } else {
            if (a->second != b->second)
                out.push_back({Mismatch::Differs, a->first, a->second.size, b->second.size});
            ++a;
            ++b;
        }
    }
    return out;
}

std::vector<Mismatch> compareImages(const CardImage &image, const CardImage &reference) {
    return compareImages(image, reference, nullptr);
}

std::string describe(const Mismatch &m) {
    const std::string path = printable(m.path);
    switch (m.kind) {
    case Mismatch::Missing:
        return path + " (missing)";
    case Mismatch::Extra:
        return path + " (extra)";
    case Mismatch::Differs:
        break;
    }
    if (m.size != m.expected)
        return path + " (" + std::to_string(m.size) + " bytes, expected " +
               std::to_string(m.expected) + ")";
    return path + " (other content)";
}

bool copyCard(const std::string &from, const std::string &to) {
    std::error_code ec;
    if (fs::exists(to, ec) || !fs::is_directory(from, ec))
        return false;
    // A symbolic link in the copy could lead a script's writes back to the
    // real files (or anywhere else): a tree with one is not copied. Cards
    // (FAT) hold none.
    bool link = false;
    const bool walked =
        walkCard(from, [&](const std::string &, const struct stat &st, const char *) {
            link = S_ISLNK(st.st_mode);
            return !link;
        });
    if (link) {
        errno = ELOOP;
        return false;
    }
    if (!walked)
        return false;
    fs::copy(from, to, fs::copy_options::recursive, ec);
    if (ec) {
        fs::remove_all(to, ec);
        return false;
    }
    return true;
}

} // namespace hostkit
