// XXH3 compiled for processors with AVX2, which hash twice the bytes per
// instruction; digest.cpp calls these only where the processor has AVX2.
// The file holds nothing but the hash: code built for AVX2 must never be
// shared with (and so picked by the linker for) the rest of the program.
#define XXH_INLINE_ALL
#define XXH_STATIC_LINKING_ONLY
#include <xxhash.h>

namespace quoralith::xxh3_avx2 {

XXH128_hash_t hash128(const void* data, size_t size) { return XXH3_128bits(data, size); }

void update128(XXH3_state_t* state, const void* data, size_t size) { XXH3_128bits_update(state, data, size); }

}  // namespace quoralith::xxh3_avx2
