// MP4 atoms walked from a byte span: every size is checked against the atom
// or file that holds it before anything inside is read, and no count a
// header declares is allocated or looped over beyond the bytes it needs.
#include "tags/mp4_atoms.h"

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <utility>

namespace sonorik::tags {

namespace {

std::uint32_t be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

std::uint64_t be64(const std::uint8_t* p) { return (std::uint64_t{be32(p)} << 32) | be32(p + 4); }

struct Atom {
  char type[5] = {};
  Bytes whole;  // header and body
  Bytes body;
};

// The atoms inside `span`, in order; nothing when a size runs past it.
std::optional<std::vector<Atom>> atoms_in(Bytes span) {
  std::vector<Atom> out;
  for (std::size_t at = 0; at < span.size();) {
    if (span.size() - at < 8) return std::nullopt;
    const std::uint8_t* h = span.data() + at;
    std::uint64_t size = be32(h);
    std::size_t header = 8;
    if (size == 1) {
      if (span.size() - at < 16) return std::nullopt;
      size = be64(h + 8);
      header = 16;
    } else if (size == 0) {
      size = span.size() - at;
    }
    if (size < header || size > span.size() - at) return std::nullopt;
    Atom a;
    std::memcpy(a.type, h + 4, 4);
    a.whole = span.subspan(at, static_cast<std::size_t>(size));
    a.body = a.whole.subspan(header);
    out.push_back(a);
    at += static_cast<std::size_t>(size);
  }
  return out;
}

// The first atom of `type` among `atoms`, or nothing.
std::optional<Atom> child(const std::vector<Atom>& atoms, const char* type) {
  for (const Atom& a : atoms) {
    if (std::memcmp(a.type, type, 4) == 0) return a;
  }
  return std::nullopt;
}

// The atom at the end of `path` ("moov/udta/meta") under `span`; a meta
// atom's version and flags are skipped when it has them.
std::optional<Atom> find(Bytes span, std::initializer_list<const char*> path) {
  std::optional<Atom> at;
  for (const char* type : path) {
    Bytes inside = at ? at->body : span;
    if (at && std::memcmp(at->type, "meta", 4) == 0 && inside.size() >= 12 &&
        std::memcmp(inside.data() + 4, "hdlr", 4) != 0)
      inside = inside.subspan(4);
    const std::optional<std::vector<Atom>> atoms = atoms_in(inside);
    if (!atoms) return std::nullopt;
    at = child(*atoms, type);
    if (!at) return std::nullopt;
  }
  return at;
}

// The sample tables of one track, each a full atom's body after its
// version and flags.
struct Tables {
  Bytes sizes, to_chunk, offsets;
  bool wide = false;  // co64
  Bytes offsets_atom;
};

std::optional<Tables> tables_of(const Atom& trak) {
  const std::optional<Atom> stbl = find(trak.body, {"mdia", "minf", "stbl"});
  if (!stbl) return std::nullopt;
  const std::optional<std::vector<Atom>> atoms = atoms_in(stbl->body);
  if (!atoms) return std::nullopt;
  const std::optional<Atom> stsz = child(*atoms, "stsz"), stsc = child(*atoms, "stsc");
  std::optional<Atom> stco = child(*atoms, "stco");
  const bool wide = !stco;
  if (wide) stco = child(*atoms, "co64");
  if (!stsz || !stsc || !stco || stsz->body.size() < 12 || stsc->body.size() < 8 ||
      stco->body.size() < 8)
    return std::nullopt;
  return Tables{stsz->body.subspan(4), stsc->body.subspan(4), stco->body.subspan(4), wide,
                stco->whole};
}

// Calls `each(offset, size)` for every sample of the track, in order; false
// when a table is short of what it declares, a sample lies outside `file`,
// or the samples would cover more than four times the file.
template <class Each>
bool for_each_sample(Bytes file, const Tables& t, Each&& each) {
  const std::uint32_t fixed = be32(t.sizes.data()), count = be32(t.sizes.data() + 4);
  if (fixed == 0 && (t.sizes.size() - 8) / 4 < count) return false;
  const std::uint32_t chunks = be32(t.offsets.data());
  if ((t.offsets.size() - 4) / (t.wide ? 8 : 4) < chunks) return false;
  const std::uint32_t runs = be32(t.to_chunk.data());
  if ((t.to_chunk.size() - 4) / 12 < runs) return false;
  std::uint64_t walked = 0;
  std::uint32_t sample = 0;
  for (std::uint32_t run = 0; run < runs && sample < count; ++run) {
    const std::uint8_t* r = t.to_chunk.data() + 4 + std::size_t{run} * 12;
    const std::uint32_t first = be32(r), per_chunk = be32(r + 4);
    const std::uint32_t end = run + 1 < runs ? be32(r + 12) : chunks + 1;
    if (first == 0 || end < first || end > chunks + 1) return false;
    for (std::uint32_t c = first; c < end && sample < count; ++c) {
      const std::uint8_t* o = t.offsets.data() + 4 + std::size_t{c - 1} * (t.wide ? 8 : 4);
      std::uint64_t offset = t.wide ? be64(o) : be32(o);
      for (std::uint32_t k = 0; k < per_chunk && sample < count; ++k, ++sample) {
        const std::uint64_t size =
            fixed != 0 ? fixed : be32(t.sizes.data() + 8 + std::size_t{sample} * 4);
        walked += size;
        if (offset > file.size() || size > file.size() - offset || walked > 4 * file.size())
          return false;
        if (!each(static_cast<std::size_t>(offset), static_cast<std::size_t>(size))) return false;
        offset += size;
      }
    }
  }
  return sample == count;
}

bool same(Bytes a, Bytes b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size()) == 0;
}

// The track atom's bytes before and after its chunk offset table.
bool same_but_offsets(const Atom& a, const Tables& ta, const Atom& b, const Tables& tb) {
  const std::size_t ia = static_cast<std::size_t>(ta.offsets_atom.data() - a.whole.data());
  const std::size_t ib = static_cast<std::size_t>(tb.offsets_atom.data() - b.whole.data());
  return ia == ib && ta.offsets_atom.size() == tb.offsets_atom.size() &&
         same(a.whole.subspan(0, ia), b.whole.subspan(0, ib)) &&
         same(a.whole.subspan(ia + ta.offsets_atom.size()),
              b.whole.subspan(ib + tb.offsets_atom.size()));
}

}  // namespace

bool looks_like_mp4(Bytes f) { return f.size() >= 12 && std::memcmp(f.data() + 4, "ftyp", 4) == 0; }

bool same_mp4_samples(Bytes a, Bytes b) {
  const std::optional<Atom> ma = find(a, {"moov"}), mb = find(b, {"moov"});
  if (!ma || !mb) return false;
  const std::optional<std::vector<Atom>> ca = atoms_in(ma->body), cb = atoms_in(mb->body);
  // A fragmented file keeps its samples in fragments the tables do not list.
  if (!ca || !cb || child(*ca, "mvex") || child(*cb, "mvex")) return false;
  std::vector<Atom> ta, tb;
  for (const Atom& x : *ca) {
    if (std::memcmp(x.type, "trak", 4) == 0) ta.push_back(x);
  }
  for (const Atom& x : *cb) {
    if (std::memcmp(x.type, "trak", 4) == 0) tb.push_back(x);
  }
  if (ta.empty() || ta.size() != tb.size()) return false;
  for (std::size_t i = 0; i < ta.size(); ++i) {
    const std::optional<Tables> sa = tables_of(ta[i]), sb = tables_of(tb[i]);
    if (!sa || !sb || !same_but_offsets(ta[i], *sa, tb[i], *sb)) return false;
    std::vector<std::pair<std::size_t, std::size_t>> placed;
    if (!for_each_sample(a, *sa, [&](std::size_t at, std::size_t n) {
          placed.emplace_back(at, n);
          return true;
        }))
      return false;
    std::size_t k = 0;
    const bool walked = for_each_sample(b, *sb, [&](std::size_t at, std::size_t n) {
      if (k >= placed.size() || placed[k].second != n) return false;
      return same(a.subspan(placed[k++].first, n), b.subspan(at, n));
    });
    if (!walked || k != placed.size()) return false;
  }
  return true;
}

std::optional<std::vector<Mp4Item>> mp4_items(Bytes f) {
  const std::optional<Atom> moov = find(f, {"moov"});
  if (!moov) return std::nullopt;
  const std::optional<Atom> ilst = find(moov->body, {"udta", "meta", "ilst"});
  if (!ilst) return std::vector<Mp4Item>{};
  const std::optional<std::vector<Atom>> items = atoms_in(ilst->body);
  if (!items) return std::nullopt;
  std::vector<Mp4Item> out;
  for (const Atom& item : *items) {
    Mp4Item m{item.whole, {}};
    if (std::memcmp(item.type, "----", 4) == 0) {
      const std::optional<std::vector<Atom>> parts = atoms_in(item.body);
      if (!parts) return std::nullopt;
      const std::optional<Atom> name = child(*parts, "name");
      if (name && name->body.size() >= 4)
        m.freeform_name.assign(reinterpret_cast<const char*>(name->body.data()) + 4,
                               name->body.size() - 4);
    }
    out.push_back(m);
  }
  return out;
}

}  // namespace sonorik::tags
