// The archive reader's default inflater in this build: zlib (chosen by
// cmake/inflater.cmake).
#include "platform/gzreader/gz_inflater.h"

namespace plat {
namespace gzinflate {

const Backend &buildDefaultBackend() {
    return k_zlib;
}

} // namespace gzinflate
} // namespace plat
