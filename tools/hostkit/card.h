// Images of a card's tree for the tools (the sweep's cut cards, the diff of
// `upgsim run --scratch`, the checks' proofs): every file and folder by its
// path, each file fingerprinted by its size and SHA-256, one comparison of
// two images, and the throwaway copy of a card. Host tool code, any thread.
#ifndef TOOLS_HOSTKIT_CARD_H
#define TOOLS_HOSTKIT_CARD_H

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace hostkit {

// One entry of a card: a folder, or a file with its size and SHA-256.
struct Entry {
    bool folder = false;
    uint64_t size = 0;
    std::array<unsigned char, 32> sha256{};
    bool operator==(const Entry &o) const {
        return folder == o.folder && size == o.size && sha256 == o.sha256;
    }
    bool operator!=(const Entry &o) const { return !(*this == o); }
};
// Path relative to the card's root ('/'-separated) -> entry, for every file
// and folder under it.
typedef std::map<std::string, Entry> CardImage;

// Reads every file and folder under `hostDir`. False (image partial) when a
// folder or file cannot be read, or when something else than a folder or a
// regular file is met (a symbolic link, a pipe: a card holds none, and
// neither is opened).
bool imageCard(const std::string &hostDir, CardImage &image);

// The one content hash of the tools' fingerprints (card images, the trees an
// archive extracts to, the medium and script digests): SHA-256 of a byte
// stream fed in pieces. Any thread; one object per stream.
class ContentHash {
public:
    ContentHash();
    ~ContentHash();
    ContentHash(const ContentHash &) = delete;
    ContentHash &operator=(const ContentHash &) = delete;
    void update(const void *data, std::size_t size);
    // The digest of the bytes fed; the object is done with then. False (and
    // zeros) when the hash could not be computed: a caller never takes two
    // failed hashes for equal contents.
    bool finish(std::array<unsigned char, 32> &digest);

private:
    void *m_ctx; // the library's digest context
    bool m_ok;
};

// The SHA-256 of a host file's bytes; false when it cannot be read.
bool fileSha256(const std::string &hostPath, std::array<unsigned char, 32> &digest);

// "3fa0..." (lower-case hex) of a digest.
std::string hexDigest(const std::array<unsigned char, 32> &digest);
// One SHA-256 (hex) over a whole image (each path, kind, size and content
// digest in path order): equal for equal cards.
std::string imageDigest(const CardImage &image);

// How one path differs between a card and the one it should equal.
struct Mismatch {
    enum Kind { Missing, Extra, Differs } kind;
    std::string path;
    uint64_t size = 0;     // on the card
    uint64_t expected = 0; // on the reference
};
// Paths of `image` and `reference` (both limited to the paths `keep` takes)
// that differ, sorted by path.
std::vector<Mismatch> compareImages(const CardImage &image, const CardImage &reference,
                                    const std::function<bool(const std::string &)> &keep);
// Every path that differs.
std::vector<Mismatch> compareImages(const CardImage &image, const CardImage &reference);
// "MAPPE/FRA/ROADS.DAT (missing)", "(3000 bytes, expected 600000)", "(extra)"...
std::string describe(const Mismatch &m);

// Copies the tree `from` into the folder `to` (created; must not exist), for
// a throwaway copy of a card. False (with `to` removed) on any failure, and
// (errno ELOOP) when `from` holds a symbolic link, which could lead writes to
// the copy back to the real files.
bool copyCard(const std::string &from, const std::string &to);

} // namespace hostkit

#endif
