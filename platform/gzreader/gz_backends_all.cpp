// The inflaters built in where ISA-L is available: zlib and ISA-L, the
// default in use first.
#include "platform/gzreader/gz_inflater.h"

namespace plat {
namespace gzinflate {

const Backend *const *allBackends() {
    static const Backend *const s_default_isal[] = {&k_isal, &k_zlib, nullptr};
    static const Backend *const s_default_zlib[] = {&k_zlib, &k_isal, nullptr};
    return &defaultBackend() == &k_isal ? s_default_isal : s_default_zlib;
}

} // namespace gzinflate
} // namespace plat
