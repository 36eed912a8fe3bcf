// The inflaters built in where ISA-L is not available: zlib only.
#include "platform/gzreader/gz_inflater.h"

namespace plat {
namespace gzinflate {

const Backend *const *allBackends() {
    static const Backend *const s_all[] = {&k_zlib, nullptr};
    return s_all;
}

} // namespace gzinflate
} // namespace plat
