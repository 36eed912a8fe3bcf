// The archive reader's default inflater in this build: isal (chosen by
// cmake/inflater.cmake).
#include "platform/gzreader/gz_inflater.h"

namespace plat {
namespace gzinflate {

const Backend &buildDefaultBackend() {
    return k_isal;
}

} // namespace gzinflate
} // namespace plat
