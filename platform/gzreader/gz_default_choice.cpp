// The archive reader's default inflater at run time: the build's default, or
// the one the environment variable UPG_INFLATE names (a host adaptation: the
// unit has zlib only, and a host build can play it without a second build).
#include "platform/gzreader/gz_inflater.h"

#include <cstdlib>
#include <cstring>

namespace plat {
namespace gzinflate {

namespace {

// The inflater that UPG_INFLATE names: zlib (built in every configuration)
// or the build's default; the build's default when it is unset or names
// another.
const Backend &chooseDefault() {
    const Backend &built = buildDefaultBackend();
    const char *wanted = std::getenv("UPG_INFLATE");
    if (wanted != nullptr && std::strcmp(wanted, k_zlib.name) == 0)
        return k_zlib;
    return built;
}

} // namespace

const Backend &defaultBackend() {
    // A function-local static: made once, safely, on the first reader opened.
    static const Backend &s_chosen = chooseDefault();
    return s_chosen;
}

} // namespace gzinflate
} // namespace plat
