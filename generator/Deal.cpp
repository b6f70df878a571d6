// Dealing and naming one round in memory: partitions, their tables, the write-back to text order.
#include "Deal.h"

unsigned partition_bits(size_t n) {
  if (build_plan.partition_bits) return std::min(build_plan.partition_bits, MAX_PARTITION_BITS);
  unsigned bits = 0;
  while (bits < MAX_PARTITION_BITS && (n >> bits) > PARTITION_RECORDS) bits++;
  return bits;
}

// Growing a table costs less than clearing one too large, but a worker's first has room for a whole
// partition: grown from small, it would be remade on fresh pages.
bool clear_table(Scratch *x, size_t records) {
  size_t guess = x->table.cap ? std::max<size_t>(x->keys + x->keys / 4, 256) : PARTITION_RECORDS;
  size_t keys = std::min(records, guess), n = 32;
  while (n < keys * 2) n *= 2;
  if (n > x->table.cap) return make_filled(&x->table, n, EMPTY);
  x->table.size = n;
  std::fill(x->table.data, x->table.data + n, EMPTY);
  return true;
}

bool grow_and_file(Array<Slot> *table, uint64_t key, uint32_t value) {
  Array<Slot> bigger;
  if (!make_filled(&bigger, table->size * 2, EMPTY)) return false;
  std::swap(*table, bigger);
  for (size_t i = 0; i < bigger.size; i++)
    if (bigger.data[i].value != NONE) *probe(table, key_of(bigger.data[i])) = bigger.data[i];
  release(&bigger);
  *probe(table, key) = Slot{static_cast<uint32_t>(key), static_cast<uint32_t>(key >> 32), value};
  return true;
}

void release(Build *b) {
  for (Scratch &x : b->scratch) {
    release(&x.table);
    release(&x.pairs);
    release(&x.owner);
    release(&x.bounds);
    release(&x.runs);
    release(&x.names);
    x.keys = 0;
  }
  release(&b->cursor);
  release(&b->start);
  b->failed = false;
}

namespace {

// log2 of a write-back's span: its 4 MiB of names stay in the cache while every partition's run in
// it is written; a short text's are shortened only until every task has some.  Packed names are
// gathered a span at a time in 32 bits, then packed in order, so no word is written twice nor by
// two threads: 2^PACKED_SPAN_BITS of them, 64 KiB, stay in a core's own cache.
constexpr unsigned SPAN_BITS = 20, MIN_SPAN_BITS = 12, PACKED_SPAN_BITS = 14;

// Writes each dealt record's name to `out` at q a span at a time, from every partition's run in it,
// so names stay in cache; false if memory ran out.
template <class Form>
bool write_back(Build *b, const Form &form, size_t parts, size_t m, Names out) {
  using Record = typename Form::Record;
  size_t tasks = range_tasks(b->workers);
  unsigned bits = SPAN_BITS;
  while (bits > MIN_SPAN_BITS && (m >> bits) < tasks) bits--;
  bool packed = out.bits < 32;
  if (packed) bits = std::min(bits, PACKED_SPAN_BITS);
  if (build_plan.span_bits) bits = std::max(build_plan.span_bits, packed ? 6u : 0u);
  size_t span = size_t{1} << bits;
  size_t spans = (m + span - 1) / span;
  const char *block = b->block;
  auto write = [&](size_t r, unsigned worker) {
    size_t s = range_start(spans, tasks, r), last = range_start(spans, tasks, r + 1);
    Array<size_t> *run = &b->scratch[worker].runs;
    Array<uint32_t> *names = &b->scratch[worker].names;
    if (s == last) return;
    if (!fit_block(run, parts) || (packed && !fit_block(names, span))) {
      b->failed = true;
      return;
    }
    // Each partition's first record at or past this range's first span.
    for (size_t part = 0; part < parts; part++) {
      size_t lo = b->start.data[part], hi = b->start.data[part + 1];
      while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        if (form.at(record_at<Record>(block, mid)) < s * span)
          lo = mid + 1;
        else
          hi = mid;
      }
      run->data[part] = lo;
    }
    for (; s < last; s++) {
      size_t end = std::min(m, (s + 1) * span), base = packed ? s * span : 0;
      uint32_t *to = packed ? names->data : out.at;  // name q goes to to[q - base]
      for (size_t part = 0; part < parts; part++) {
        size_t i = run->data[part], stop = b->start.data[part + 1];
        for (; i < stop; i++) {
          Record r = record_at<Record>(block, i);
          size_t q = form.at(r);
          if (q >= end) break;
          assert(q >= s * span);
          to[q - base] = form.name(r);
        }
        run->data[part] = i;
      }
      if (packed) {
        WordSink sink{reinterpret_cast<uint64_t *>(out.at) + base * out.bits / 64, 0, 0, out.bits};
        for (size_t q = base; q < end; q++) sink_put(&sink, to[q - base]);
        sink_end(&sink);
      }
    }
  };
  run_tasks(tasks, b->workers, write);
  return !b->failed;
}

// Names the keys key(q), q < m, as name_round does, dealt in records of `form`.
template <class Form, class Key>
bool name_dealt(Build *b, const Form &form, size_t m, Key key, Names out, bool last) {
  using Record = typename Form::Record;
  size_t parts = size_t{1} << form.bits;
  auto make = [&](size_t q) { return form.make(key(q), q); };
  auto part_of = [&](const typename Form::Made &r) { return form.part(r); };
  auto keep = [&](const typename Form::Made &r) { return form.keep(r); };
  auto name = [&](size_t part, unsigned worker) {
    Scratch *x = &b->scratch[worker];
    size_t from = b->start.data[part], to = b->start.data[part + 1], used = 0;
    if (b->failed || !clear_table(x, to - from)) {
      b->failed = true;
      return;
    }
    for (size_t i = from; i < to; i++) {
      Record r = record_at<Record>(b->block, i);
      auto fresh = static_cast<uint32_t>(last ? form.at(r) : from + used);
      uint32_t name = name_of(&x->table, &used, form.key(r), fresh);
      if (name == NONE) {
        b->failed = true;
        return;
      }
      put_record(b->block, i, form.named(r, name));  // the key is done with: the name takes it
    }
    x->keys = used;
  };
  // The keys are dealt first, so `out` may be what they came from.
  if (!deal(b, m, parts, make, part_of, keep)) return false;
  run_tasks(parts, b->workers, name);
  return !b->failed && write_back(b, form, parts, m, out);
}

// Names the keys key(q), q < m, of `key_bits` bits, as name_round does.
template <class Key>
bool name_keys(Build *b, size_t m, Key key, unsigned key_bits, Names out, bool last,
               size_t *names) {
  unsigned bits = key_partition_bits(key_bits, m, *names);
  // Names of a deal are places in the block, below m but not dense.
  if (bits > 0) {
    bool ok = narrow_keys(key_bits, bits, m)
                  ? name_dealt(b, NarrowKeys{bits, key_bits}, m, key, out, last)
                  : name_dealt(b, WideKeys{bits}, m, key, out, last);
    *names = m;
    return ok;
  }
  // Keys that fit one table are named where they stand, with no deal; `out` may be what key(q)
  // reads, as long as key(q) reads nothing below q (a packed name lands in cells up to q's).
  Scratch *x = &b->scratch[0];
  size_t used = 0;
  if (!clear_table(x, std::min(m, *names))) return false;
  for (size_t q = 0; q < m; q++) {
    uint32_t name = name_of(&x->table, &used, key(q), static_cast<uint32_t>(last ? q : used));
    if (name == NONE) return false;
    put_name(out, q, name);
  }
  *names = x->keys = used;
  return true;
}

}  // namespace

bool name_round(Build *b, const uint32_t *a, size_t d, size_t m, Names out, bool last,
                size_t *names) {
  auto key = [&](size_t q) { return a[q] | uint64_t{a[q + d]} << 32; };
  return name_keys(b, m, key, 64, out, last, names);
}

bool name_packed(Build *b, const WordList *list, Round *r, Names out) {
  // A window is the ids' own bits, as packed.
  assert(r->bits == list->id_bits);
  auto bits = static_cast<unsigned>(r->width * r->bits);
  auto key = [&](size_t q) { return packed_bits(list->ids.data, q * r->bits, bits); };
  return name_keys(b, r->m, key, bits, out, r->last, &r->distinct);
}
