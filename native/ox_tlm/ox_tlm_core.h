// Telemetry ring: a lock-free single-producer/single-consumer ring of 16-byte probe records in a
// memory file mapped twice back to back, plus a registry of up to 64 named, decimated probes.
#pragma once

#include <bit>
#include <cstring>

#include "common/ox_common.h"

constexpr uint32_t OX_TLM_MAX_PROBES = 64;
constexpr size_t OX_TLM_NAME_BYTES = 32;

struct ox_tlm_record {
    uint64_t tag;       // the context's tag at emission time
    float value;        // probe value narrowed to float32
    uint16_t probe;     // probe id
    uint16_t reserved;  // 0
};
static_assert(sizeof(ox_tlm_record) == 16 && offsetof(ox_tlm_record, probe) == 12);

// Producer and consumer indices and the drop counter live on separate cache lines.
struct alignas(64) ox_tlm_ring {
    ox_tlm_record *base;  // start of the double mapping
    uint64_t mask;        // capacity - 1
    uint64_t capacity;    // records, a power of two
    uint64_t reserved;
    alignas(64) uint64_t write_index;  // total records written; stored only by the producer
    alignas(64) uint64_t read_index;   // total records consumed; stored only by the consumer
    alignas(64) uint64_t dropped;      // records refused on a full ring; atomic add
};
static_assert(sizeof(ox_tlm_ring) == 256 && offsetof(ox_tlm_ring, write_index) == 64 &&
              offsetof(ox_tlm_ring, read_index) == 128 && offsetof(ox_tlm_ring, dropped) == 192);

struct ox_tlm_probe_entry {
    char name[OX_TLM_NAME_BYTES];  // NUL-terminated, at most 31 characters
    uint32_t decim;                // emit every decim-th event (>= 1)
    uint32_t phase;                // events since the last emission
    uint64_t emitted;              // records of this probe actually written
};
static_assert(sizeof(ox_tlm_probe_entry) == 48);

namespace ox {
class TlmAttach;
}

// Bookkeeping of the Python bindings' attachments, made with the context: the registration
// transaction in progress and, per probe id, the attached object that holds it (NULL: none),
// so two objects attached under the same prefix are refused instead of sharing probes.
struct ox_tlm_book {
    ox::TlmAttach *attach;
    const void *holder[OX_TLM_MAX_PROBES];
};

struct ox_tlm {
    ox_tlm_ring *ring;
    uint64_t tag;          // stamped into every record; owned by the context's owner
    uint32_t probe_count;  // 0..64
    ox_tlm_probe_entry probes[OX_TLM_MAX_PROBES];
    // Lifetime bookkeeping of the Python bindings (unused by the C API below): the context's
    // holders (its owner plus every attachment made through a binding; the last one to let go
    // frees it), the block calls now running on a binding attachment (a resize must wait for
    // them), and the attachments' book (transaction in progress, probe holders).
    uint32_t refs;
    uint32_t producers;
    ox_tlm_book *book;
};
static_assert(sizeof(ox_tlm) == 3112 && offsetof(ox_tlm, refs) == 3096,
              "the bookkeeping fields occupy the context's 16 trailing bytes");

OX_API ox_tlm *ox_tlm_create(size_t capacity);
OX_API void ox_tlm_destroy(ox_tlm *tlm);
OX_API int ox_tlm_probe(ox_tlm *tlm, const char *name, uint32_t decim);
OX_API int ox_tlm_probe_id(const ox_tlm *tlm, const char *name);
OX_API int ox_tlm_set_decim(ox_tlm *tlm, const char *name, uint32_t decim);
OX_API int ox_tlm_emit_checked(ox_tlm *tlm, int id, double value);
OX_API const char *ox_tlm_probe_name(const ox_tlm *tlm, int id);
OX_API uint32_t ox_tlm_probe_count(const ox_tlm *tlm);
OX_API int ox_tlm_probe_id_at(const ox_tlm *tlm, uint32_t i);
OX_API size_t ox_tlm_capacity(const ox_tlm *tlm);
OX_API size_t ox_tlm_block_bound(const ox_tlm *tlm, size_t n_events);
OX_API size_t ox_tlm_avail(const ox_tlm *tlm);
OX_API size_t ox_tlm_read_max_out(const ox_tlm *tlm);
OX_API size_t ox_tlm_read(ox_tlm *tlm, size_t max, ox_tlm_record *buf, size_t buf_len);
OX_API int ox_tlm_resize(ox_tlm *tlm, size_t capacity);
OX_API void ox_tlm_demux_counts(const ox_tlm_record *recs, size_t n_recs, size_t *counts,
                                size_t n_counts);
OX_API void ox_tlm_demux(const ox_tlm_record *recs, size_t n_recs, float **values, uint64_t **tags,
                         const size_t *caps, size_t n_probes);
OX_API uint64_t ox_tlm_dropped(const ox_tlm *tlm);
OX_API void ox_tlm_stats(uint64_t *out, const ox_tlm *tlm);
OX_API uint64_t ox_tlm_emitted(const ox_tlm *tlm, int id);

namespace ox {

// The emission rule, inlined into every component's flush: decimate, drop on a full ring
// (counted atomically), else write the record and publish it with a release store.
inline void tlm_emit(ox_tlm *tlm, uint32_t id, double value) {
    ox_tlm_probe_entry &pr = tlm->probes[id];
    if (++pr.phase < pr.decim) return;
    pr.phase = 0;
    ox_tlm_ring *r = tlm->ring;
    const uint64_t w = r->write_index;  // only this producer stores it
    if (w == __atomic_load_n(&r->read_index, __ATOMIC_ACQUIRE) + r->capacity) {
        __atomic_fetch_add(&r->dropped, 1, __ATOMIC_RELAXED);
        return;
    }
    ox_tlm_record *rec = r->base + (w & r->mask);
    rec->tag = tlm->tag;
    rec->value = static_cast<float>(value);
    rec->probe = static_cast<uint16_t>(id);
    rec->reserved = 0;
    __atomic_store_n(&r->write_index, w + 1, __ATOMIC_RELEASE);
    ++pr.emitted;
}

// Registers `prefix` + suffix for each suffix, the suffix carrying its leading dot (".lock"
// gives "car.lock"); a NULL prefix takes `default_prefix`; names are cut to 31 characters.
// All or nothing: the names are checked first (decimation not 0, room in the registry for the
// new ones, and no two names of this attachment equal after the cut, which would merge two
// probes into one series), and only then registered. Returns OX_OK with the ids written to
// `ids`, or OX_EINVAL with the registry and `ids` untouched. Inside a `TlmAttach` the check
// spans every registration of that attachment, and when the transaction names its holder a
// name held by another holder is refused too (see TlmAttach::refusal for why a call failed).
int tlm_register_probes(ox_tlm *tlm, const char *prefix, const char *default_prefix,
                        const char *const *suffixes, size_t n, uint32_t decim, int32_t *ids);

// The whole of a simple component's set_telemetry: a NULL `tlm` detaches (clears `*slot`);
// otherwise the probes are registered as above and, only on success, the context and the ids
// are stored, so a failure keeps the previous attachment. Returns OX_OK or OX_EINVAL.
template <size_t N>
inline int tlm_attach(ox_tlm **slot, int32_t (&ids)[N], ox_tlm *tlm, const char *prefix,
                      const char *default_prefix, const char *const (&suffixes)[N], uint32_t decim) {
    if (!tlm) {
        *slot = nullptr;
        return OX_OK;
    }
    if (tlm_register_probes(tlm, prefix, default_prefix, suffixes, N, decim, ids) != OX_OK)
        return OX_EINVAL;
    *slot = tlm;
    return OX_OK;
}

// One attachment of a component together with its sub-components, as a transaction over the
// probe registry: while it lives, every tlm_register_probes on the context joins it (so a
// sub-component's names may not meet the parent's after the cut either); unless commit() is
// called, the registry (probe count, names, decimations, counters) is put back as it was when
// the outermost transaction began. A composite's set_telemetry opens one, attaches its parts,
// and commits once all of them succeeded (restoring its parts' previous attachments itself when
// not). Nested transactions on the same context join the outermost one.
//
// A transaction opened with a `holder` (the bindings pass the attaching Python object) also
// keeps the probe holders: names held by another holder are refused, and a committed
// transaction makes its probes the holder's (letting go of those it held before).
class TlmAttach {
public:
    // Why a registration of this transaction was refused (the first refusal is kept).
    enum Refusal { kNone, kDecimation, kCutCollision, kHeld, kFull };

    explicit TlmAttach(ox_tlm *tlm, const void *holder = nullptr);
    ~TlmAttach();
    TlmAttach(const TlmAttach &) = delete;
    TlmAttach &operator=(const TlmAttach &) = delete;
    void commit() { committed_ = true; }
    Refusal refusal() const { return refusal_; }
    const char *refused_name() const { return refused_name_; }

private:
    friend int tlm_register_probes(ox_tlm *, const char *, const char *, const char *const *,
                                   size_t, uint32_t, int32_t *);
    int refuse(Refusal why, const char *name);
    ox_tlm *tlm_;
    const void *holder_;
    bool outermost_;
    bool committed_ = false;
    Refusal refusal_ = kNone;
    char refused_name_[OX_TLM_NAME_BYTES] = {};
    uint64_t ids_ = 0;  // probe ids registered by this attachment so far (outermost only)
    uint32_t saved_count_ = 0;
    ox_tlm_probe_entry saved_[OX_TLM_MAX_PROBES];
};

// The holder lets go of every probe it holds on the context (detached or destroyed).
inline void tlm_unhold(ox_tlm *tlm, const void *holder) {
    if (!tlm || !tlm->book || !holder) return;
    for (const void *&h : tlm->book->holder)
        if (h == holder) h = nullptr;
}

// Holders of a context through the Python bindings. A context starts with one holder, its
// creator; tlm_hold adds one (an attachment), tlm_release drops one and destroys the context
// when none is left, so a ring outlives its owner while a component still writes into it.
inline void tlm_hold(ox_tlm *tlm) { __atomic_add_fetch(&tlm->refs, 1, __ATOMIC_ACQ_REL); }
void tlm_release(ox_tlm *tlm);

// Block calls running on an attachment: a context must not be resized under them.
inline void tlm_producer_enter(ox_tlm *tlm) { __atomic_add_fetch(&tlm->producers, 1, __ATOMIC_ACQ_REL); }
inline void tlm_producer_leave(ox_tlm *tlm) { __atomic_sub_fetch(&tlm->producers, 1, __ATOMIC_ACQ_REL); }
inline bool tlm_has_producers(const ox_tlm *tlm) {
    return __atomic_load_n(&tlm->producers, __ATOMIC_ACQUIRE) != 0;
}

// Emits one value per probe, in order, for probes whose id is a valid registry index.
//
// The common case of a flush (every probe valid, undecimated, and room in the ring for all of
// them) is written as one batch: one full test, the n records stored contiguously from slot
// `write & mask` (the mirror mapping makes the run contiguous across the wrap point), then one
// release store of the write index, then the `emitted` counts. Record contents and order, the
// probes' phases (0 after any event at decimation 1) and the counts are exactly those of n
// single emissions; a consumer never sees the records before the index that publishes them.
// Anything else (decimation, an invalid id, a ring too full for the whole batch, which may
// drop some of the records) takes the per-record rule.
inline void tlm_flush(ox_tlm *tlm, const int32_t *ids, const double *values, size_t n) {
    if (!tlm) return;
    bool batch = n <= OX_TLM_MAX_PROBES;
    for (size_t i = 0; i < n; ++i) {
        batch &= static_cast<uint32_t>(ids[i]) < OX_TLM_MAX_PROBES &&
                 tlm->probes[static_cast<uint32_t>(ids[i]) & (OX_TLM_MAX_PROBES - 1)].decim == 1;
    }
    ox_tlm_ring *r = tlm->ring;
    const uint64_t w = r->write_index;  // only this producer stores it
    if (batch && w + n <= __atomic_load_n(&r->read_index, __ATOMIC_ACQUIRE) + r->capacity) {
        ox_tlm_record *rec = r->base + (w & r->mask);
        // Write ownership of the ring a few pages ahead, so that streaming records to memory
        // does not stall on the stores' cache misses (a hint; the mirror mapping keeps the
        // address inside the ring's reservation).
        __builtin_prefetch(reinterpret_cast<const char *>(rec) + 4096, 1);
        const uint64_t tag = tlm->tag;
        for (size_t i = 0; i < n; ++i) {
            const float value = static_cast<float>(values[i]);
            const auto probe = static_cast<uint16_t>(ids[i]);
            if constexpr (std::endian::native == std::endian::little) {
                // The record as two 8-byte words: the tag, then value | probe << 32 | 0 << 48.
                const uint64_t word =
                    std::bit_cast<uint32_t>(value) | static_cast<uint64_t>(probe) << 32;
                std::memcpy(reinterpret_cast<char *>(rec + i), &tag, 8);
                std::memcpy(reinterpret_cast<char *>(rec + i) + 8, &word, 8);
            } else {
                rec[i].tag = tag;
                rec[i].value = value;
                rec[i].probe = probe;
                rec[i].reserved = 0;
            }
        }
        __atomic_store_n(&r->write_index, w + n, __ATOMIC_RELEASE);
        for (size_t i = 0; i < n; ++i) {
            ox_tlm_probe_entry &pr = tlm->probes[ids[i]];
            if (pr.phase != 0) pr.phase = 0;  // already 0 after any event at decimation 1
            ++pr.emitted;
        }
        return;
    }
    for (size_t i = 0; i < n; ++i) {
        if (ids[i] >= 0 && ids[i] < static_cast<int32_t>(OX_TLM_MAX_PROBES)) {
            tlm_emit(tlm, static_cast<uint32_t>(ids[i]), values[i]);
        }
    }
}

}  // namespace ox
