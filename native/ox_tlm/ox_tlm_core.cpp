#include "ox_tlm/ox_tlm_core.h"

#include <cstdio>
#include <cstdlib>
#include <new>

#include "common/mirror_map.h"

namespace {

// Builds a ring header plus its mirrored storage for `capacity` records (a power of two).
ox_tlm_ring *ring_create(size_t capacity) {
    void *mem = nullptr;
    if (posix_memalign(&mem, 64, sizeof(ox_tlm_ring)) != 0) return nullptr;
    auto *r = static_cast<ox_tlm_ring *>(mem);
    std::memset(r, 0, sizeof(*r));
    r->base = static_cast<ox_tlm_record *>(ox::mirror_map(capacity * sizeof(ox_tlm_record)));
    if (!r->base) {
        std::free(r);
        return nullptr;
    }
    r->capacity = capacity;
    r->mask = capacity - 1;
    return r;
}

void ring_destroy(ox_tlm_ring *r) {
    if (!r) return;
    ox::mirror_unmap(r->base, r->capacity * sizeof(ox_tlm_record));
    std::free(r);
}

// Raises a power-of-two capacity until its storage fills at least one page.
size_t at_least_one_page(size_t capacity) {
    const size_t page = ox::page_size();
    while (capacity * sizeof(ox_tlm_record) < page) capacity <<= 1;
    return capacity;
}

bool is_pow2(size_t v) { return v && !(v & (v - 1)); }

ox_tlm_probe_entry *find_probe(ox_tlm *tlm, const char *name) {
    for (uint32_t i = 0; i < tlm->probe_count; ++i) {
        if (std::strcmp(tlm->probes[i].name, name) == 0) return &tlm->probes[i];
    }
    return nullptr;
}

}  // namespace

ox_tlm *ox_tlm_create(size_t capacity) {
    if (!is_pow2(capacity)) return nullptr;
    if (capacity > (SIZE_MAX / 2) / sizeof(ox_tlm_record)) return nullptr;
    capacity = at_least_one_page(capacity);
    auto *tlm = static_cast<ox_tlm *>(std::calloc(1, sizeof(ox_tlm)));
    if (!tlm) return nullptr;
    tlm->book = static_cast<ox_tlm_book *>(std::calloc(1, sizeof(ox_tlm_book)));
    tlm->ring = tlm->book ? ring_create(capacity) : nullptr;
    if (!tlm->ring) {
        std::free(tlm->book);
        std::free(tlm);
        return nullptr;
    }
    tlm->refs = 1;  // the creator
    return tlm;
}

void ox_tlm_destroy(ox_tlm *tlm) {
    if (!tlm) return;
    ring_destroy(tlm->ring);
    std::free(tlm->book);
    std::free(tlm);
}

int ox_tlm_probe(ox_tlm *tlm, const char *name, uint32_t decim) {
    if (!tlm || !name || decim == 0 || std::strlen(name) >= OX_TLM_NAME_BYTES) return OX_EINVAL;
    if (ox_tlm_probe_entry *p = find_probe(tlm, name)) {
        p->decim = decim;
        p->phase = decim - 1;
        return static_cast<int>(p - tlm->probes);
    }
    if (tlm->probe_count >= OX_TLM_MAX_PROBES) return OX_EINVAL;
    ox_tlm_probe_entry &p = tlm->probes[tlm->probe_count];
    std::memset(&p, 0, sizeof(p));
    std::strcpy(p.name, name);
    p.decim = decim;
    p.phase = decim - 1;  // the first event is emitted
    return static_cast<int>(tlm->probe_count++);
}

int ox_tlm_probe_id(const ox_tlm *tlm, const char *name) {
    if (!tlm || !name) return OX_EINVAL;
    const auto *p = find_probe(const_cast<ox_tlm *>(tlm), name);
    return p ? static_cast<int>(p - tlm->probes) : OX_EINVAL;
}

int ox_tlm_set_decim(ox_tlm *tlm, const char *name, uint32_t decim) {
    if (!tlm || !name || decim == 0) return OX_EINVAL;
    ox_tlm_probe_entry *p = find_probe(tlm, name);
    if (!p) return OX_EINVAL;
    p->decim = decim;
    p->phase = decim - 1;
    return OX_OK;
}

int ox_tlm_emit_checked(ox_tlm *tlm, int id, double value) {
    if (!tlm || id < 0 || static_cast<uint32_t>(id) >= tlm->probe_count) return OX_EINVAL;
    ox::tlm_emit(tlm, static_cast<uint32_t>(id), value);
    return OX_OK;
}

const char *ox_tlm_probe_name(const ox_tlm *tlm, int id) {
    if (!tlm || id < 0 || static_cast<uint32_t>(id) >= tlm->probe_count) return nullptr;
    return tlm->probes[id].name;
}

uint32_t ox_tlm_probe_count(const ox_tlm *tlm) { return tlm ? tlm->probe_count : 0; }

int ox_tlm_probe_id_at(const ox_tlm *tlm, uint32_t i) {
    return tlm && i < tlm->probe_count ? static_cast<int>(i) : OX_EINVAL;
}

size_t ox_tlm_capacity(const ox_tlm *tlm) { return tlm ? tlm->ring->capacity : 0; }

size_t ox_tlm_block_bound(const ox_tlm *tlm, size_t n_events) {
    if (!tlm || n_events == 0 || tlm->probe_count == 0) return 0;
    size_t r;
    if (__builtin_mul_overflow(n_events, static_cast<size_t>(tlm->probe_count), &r)) return SIZE_MAX;
    return r;
}

size_t ox_tlm_avail(const ox_tlm *tlm) {
    if (!tlm) return 0;
    const uint64_t w = __atomic_load_n(&tlm->ring->write_index, __ATOMIC_ACQUIRE);
    return w - tlm->ring->read_index;
}

size_t ox_tlm_read_max_out(const ox_tlm *tlm) { return ox_tlm_avail(tlm); }

size_t ox_tlm_read(ox_tlm *tlm, size_t max, ox_tlm_record *buf, size_t buf_len) {
    if (!tlm || !buf) return 0;
    ox_tlm_ring *r = tlm->ring;
    const uint64_t w = __atomic_load_n(&r->write_index, __ATOMIC_ACQUIRE);
    const uint64_t rd = r->read_index;  // only this consumer stores it
    size_t n = w - rd;
    if (max != 0 && max < n) n = max;
    if (buf_len < n) n = buf_len;
    if (n == 0) return 0;
    std::memcpy(buf, r->base + (rd & r->mask), n * sizeof(ox_tlm_record));
    __atomic_store_n(&r->read_index, rd + n, __ATOMIC_RELEASE);
    return n;
}

int ox_tlm_resize(ox_tlm *tlm, size_t capacity) {
    if (!tlm) return OX_EINVAL;
    if (capacity <= tlm->ring->capacity) return OX_OK;
    size_t c = 1;
    for (int doublings = 0; c < capacity; ++doublings) {
        if (doublings >= 63) return OX_EINVAL;
        c <<= 1;
    }
    if (c > (SIZE_MAX / 2) / sizeof(ox_tlm_record)) return OX_EINVAL;
    ox_tlm_ring *fresh = ring_create(at_least_one_page(c));
    if (!fresh) return OX_EINVAL;
    ring_destroy(tlm->ring);
    tlm->ring = fresh;
    return OX_OK;
}

void ox_tlm_demux_counts(const ox_tlm_record *recs, size_t n_recs, size_t *counts, size_t n_counts) {
    if (!counts || n_counts == 0) return;
    std::memset(counts, 0, n_counts * sizeof(size_t));
    if (!recs) return;
    for (size_t i = 0; i < n_recs; ++i) {
        if (recs[i].probe < n_counts) ++counts[recs[i].probe];
    }
}

void ox_tlm_demux(const ox_tlm_record *recs, size_t n_recs, float **values, uint64_t **tags,
                  const size_t *caps, size_t n_probes) {
    if (!caps || n_probes == 0 || !recs || (!values && !tags)) return;
    const size_t limit = n_probes < OX_TLM_MAX_PROBES ? n_probes : OX_TLM_MAX_PROBES;
    size_t fill[OX_TLM_MAX_PROBES] = {};
    for (size_t i = 0; i < n_recs; ++i) {
        const size_t id = recs[i].probe;
        if (id >= limit) continue;
        const size_t k = fill[id]++;
        if (k >= caps[id]) continue;
        if (values && values[id]) values[id][k] = recs[i].value;
        if (tags && tags[id]) tags[id][k] = recs[i].tag;
    }
}

uint64_t ox_tlm_dropped(const ox_tlm *tlm) {
    return tlm ? __atomic_load_n(&tlm->ring->dropped, __ATOMIC_RELAXED) : 0;
}

void ox_tlm_stats(uint64_t *out, const ox_tlm *tlm) {
    if (!out) return;
    if (!tlm) {
        std::memset(out, 0, 4 * sizeof(uint64_t));
        return;
    }
    uint64_t emitted = 0;
    for (uint32_t i = 0; i < tlm->probe_count; ++i) emitted += tlm->probes[i].emitted;
    out[0] = ox_tlm_dropped(tlm);
    out[1] = emitted;
    out[2] = tlm->ring->capacity;
    out[3] = tlm->probe_count;
}

uint64_t ox_tlm_emitted(const ox_tlm *tlm, int id) {
    if (!tlm || id < 0 || static_cast<uint32_t>(id) >= tlm->probe_count) return 0;
    return tlm->probes[id].emitted;
}

ox::TlmAttach::TlmAttach(ox_tlm *tlm, const void *holder)
    : tlm_(tlm), holder_(holder), outermost_(tlm && tlm->book && !tlm->book->attach) {
    if (!outermost_) return;
    saved_count_ = tlm->probe_count;
    std::memcpy(saved_, tlm->probes, sizeof(saved_));
    tlm->book->attach = this;
}

ox::TlmAttach::~TlmAttach() {
    if (!outermost_) return;
    if (!committed_) {
        tlm_->probe_count = saved_count_;
        std::memcpy(tlm_->probes, saved_, sizeof(saved_));
    } else if (holder_) {
        tlm_unhold(tlm_, holder_);
        for (uint32_t id = 0; id < OX_TLM_MAX_PROBES; ++id)
            if (ids_ >> id & 1) tlm_->book->holder[id] = holder_;
    }
    tlm_->book->attach = nullptr;
}

int ox::TlmAttach::refuse(Refusal why, const char *name) {
    if (refusal_ == kNone) {
        refusal_ = why;
        std::snprintf(refused_name_, sizeof(refused_name_), "%s", name ? name : "");
    }
    return OX_EINVAL;
}

int ox::tlm_register_probes(ox_tlm *tlm, const char *prefix, const char *default_prefix,
                            const char *const *suffixes, size_t n, uint32_t decim, int32_t *ids) {
    if (!tlm || !tlm->book || n > OX_TLM_MAX_PROBES) return OX_EINVAL;
    if (!prefix) prefix = default_prefix;
    TlmAttach local(tlm);
    TlmAttach *root = tlm->book->attach;
    if (decim == 0) return root->refuse(TlmAttach::kDecimation, nullptr);
    char names[OX_TLM_MAX_PROBES][OX_TLM_NAME_BYTES];
    uint32_t fresh = 0;
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(names[i], OX_TLM_NAME_BYTES, "%s%s", prefix, suffixes[i]);
        for (size_t j = 0; j < i; ++j)
            if (std::strcmp(names[i], names[j]) == 0)
                return root->refuse(TlmAttach::kCutCollision, names[i]);
        const int id = ox_tlm_probe_id(tlm, names[i]);
        if (id < 0) {
            ++fresh;
        } else if (root->ids_ >> id & 1) {
            // another probe of this attachment already has that name
            return root->refuse(TlmAttach::kCutCollision, names[i]);
        } else if (const void *h = tlm->book->holder[id]; h && root->holder_ && h != root->holder_) {
            return root->refuse(TlmAttach::kHeld, names[i]);  // another object's probe
        }
    }
    if (tlm->probe_count + fresh > OX_TLM_MAX_PROBES) return root->refuse(TlmAttach::kFull, nullptr);
    for (size_t i = 0; i < n; ++i) {
        ids[i] = ox_tlm_probe(tlm, names[i], decim);  // cannot fail after the checks above
        root->ids_ |= uint64_t{1} << ids[i];
    }
    local.commit();
    return OX_OK;
}

void ox::tlm_release(ox_tlm *tlm) {
    if (tlm && __atomic_sub_fetch(&tlm->refs, 1, __ATOMIC_ACQ_REL) == 0) ox_tlm_destroy(tlm);
}
