// One thread, exact outcomes: refusals (too long, wrong format), what a held
// message keeps occupied, overwrite keeping the newest, construction errors.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <vector>

#include "ring/barrier.hpp"
#include "ring/spsc_ring.hpp"
#include "testkit.hpp"

#if defined(_WIN32)
#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

namespace {

using namespace vestrel::ring;
using testkit::fill;

enum class Format { kFixed, kVar };
constexpr Format kFormats[] = {Format::kFixed, Format::kVar};
const char *name(Format f) {
  return f == Format::kFixed ? "fixed" : "var";
}

Config make_config(std::size_t slot, std::size_t capacity, bool overwrite = false) {
  Config cfg;
  cfg.slot_size = slot;
  cfg.capacity = capacity;
  cfg.overwrite = overwrite;
  return cfg;
}

// The calls of one format, so a case can run for both formats or pit one
// against the other.
int put(Ring &r, Format f, const std::vector<char> &buf, std::size_t len) {
  return f == Format::kFixed ? r.put(buf.data(), len) : r.put_var(buf.data(), len);
}
int try_put(Ring &r, Format f, const std::vector<char> &buf, std::size_t len) {
  return f == Format::kFixed ? r.try_put(buf.data(), len) : r.try_put_var(buf.data(), len);
}
int take(Ring &r, Format f, const char **data, std::size_t *len) {
  return f == Format::kFixed ? r.take(data, len) : r.take_var(data, len);
}
int try_take(Ring &r, Format f, const char **data, std::size_t *len) {
  return f == Format::kFixed ? r.try_take(data, len) : r.try_take_var(data, len);
}

void put_message(Ring &r, Format f, std::uint64_t seq, std::size_t len) {
  std::vector<char> buf;
  fill(buf, seq, len);
  const int res = try_put(r, f, buf, len);
  CHECK_MSG(res == kStored, "%s put of message %llu (%zu bytes) returned %d", name(f),
            static_cast<unsigned long long>(seq), len, res);
}

void check_message(const char *data, std::size_t len, std::uint64_t seq, std::size_t want_len) {
  std::vector<char> want;
  fill(want, seq, want_len);
  CHECK_MSG(len == want_len, "message %llu has %zu bytes, expected %zu",
            static_cast<unsigned long long>(seq), len, want_len);
  CHECK_MSG(len == 0 || std::memcmp(data, want.data(), len) == 0, "message %llu is corrupt",
            static_cast<unsigned long long>(seq));
}

void take_message(Ring &r, Format f, std::uint64_t seq, std::size_t len) {
  const char *data = nullptr;
  std::size_t got = 0;
  const int res = try_take(r, f, &data, &got);
  CHECK_MSG(res == kTaken, "%s take of message %llu returned %d", name(f),
            static_cast<unsigned long long>(seq), res);
  check_message(data, got, seq, len);
}

// A message one byte too long is refused whole, by every put, in every
// geometry; the longest allowed one goes through intact. The longest variable
// message must fit an empty ring at every write offset, wrap included.
void test_too_long() {
  struct Geometry {
    std::size_t slot, capacity;
  };
  constexpr Geometry kGeometries[] = {{1, 1}, {7, 3}, {8, 2}, {53, 16}, {1000, 4}};
  std::vector<char> buf;
  for (const Geometry &g : kGeometries) {
    for (const bool overwrite : {false, true}) {
      for (const Format f : kFormats) {
        Ring r(make_config(g.slot, g.capacity, overwrite));
        const std::size_t max = f == Format::kFixed ? g.slot : r.max_var_size();
        fill(buf, 7, max + 1);
        CHECK_MSG(try_put(r, f, buf, max + 1) == kTooLong, "%s slot %zu", name(f), g.slot);
        CHECK_MSG(put(r, f, buf, max + 1) == kTooLong, "%s slot %zu", name(f), g.slot);
        CHECK(r.size() == 0 && r.stats().stored == 0);
        put_message(r, f, 8, max);
        take_message(r, f, 8, max);
      }
      // Move the write offset 8 bytes at a time (empty records) across the
      // whole buffer; at each offset the largest record must still go in.
      const std::size_t bytes = g.capacity * (8 + ((g.slot + 7) & ~std::size_t{7}));
      std::uint64_t seq = 0;
      for (std::size_t offset = 0; offset < bytes; offset += 8) {
        Ring fresh(make_config(g.slot, g.capacity, overwrite));
        for (std::size_t i = 0; i < offset / 8; ++i) {
          put_message(fresh, Format::kVar, seq, 0);
          take_message(fresh, Format::kVar, seq++, 0);
        }
        put_message(fresh, Format::kVar, seq, fresh.max_var_size());
        take_message(fresh, Format::kVar, seq++, fresh.max_var_size());
        CHECK(fresh.stats().dropped == 0);
      }
    }
  }
}

// The first put fixes the format for the ring's life; the other format's
// calls are refused on both sides and leave the held messages intact.
void test_wrong_mode() {
  std::vector<char> buf;
  fill(buf, 99, 8);
  for (const bool overwrite : {false, true}) {
    for (const Format f : kFormats) {
      const Format other = f == Format::kFixed ? Format::kVar : Format::kFixed;
      Ring r(make_config(16, 4, overwrite));
      CHECK(r.mode() == 0);
      put_message(r, f, 1, 12);
      CHECK(r.mode() == (f == Format::kFixed ? 1 : 2));
      CHECK(try_put(r, other, buf, 8) == kWrongMode);
      CHECK(put(r, other, buf, 8) == kWrongMode);
      const char *data;
      std::size_t len;
      CHECK(try_take(r, other, &data, &len) == kWrongMode);
      CHECK(take(r, other, &data, &len) == kWrongMode);
      CHECK(r.size() == 1);
      take_message(r, f, 1, 12);
      r.release();
      // Still refused once the ring is empty again.
      CHECK(try_put(r, other, buf, 8) == kWrongMode);
      put_message(r, f, 2, 3);
      take_message(r, f, 2, 3);
      CHECK(r.stats().stored == 2);
    }
  }
}

// A taken message stays held (and keeps its room) until release() or the
// next take; a take after a take frees the first and hands out the second.
void test_holding() {
  struct Case {
    Format format;
    bool waiting_take;
    std::size_t slot, capacity;  // four 8-byte messages fill the ring exactly
  };
  constexpr Case kCases[] = {
      {Format::kFixed, false, 8, 4},
      {Format::kFixed, true, 8, 4},
      {Format::kVar, false, 8, 4},
      {Format::kVar, true, 8, 4},
  };
  std::vector<char> buf;
  for (const Case &c : kCases) {
    Ring r(make_config(c.slot, c.capacity));
    auto take_any = [&](const char **data, std::size_t *len) {
      return c.waiting_take ? take(r, c.format, data, len) : try_take(r, c.format, data, len);
    };
    for (std::uint64_t seq = 0; seq < 4; ++seq) put_message(r, c.format, seq, 8);
    fill(buf, 4, 8);
    CHECK(try_put(r, c.format, buf, 8) == kFull);

    const char *first, *second;
    std::size_t len;
    CHECK(take_any(&first, &len) == kTaken);
    check_message(first, len, 0, 8);
    CHECK(r.size() == 4);  // a held message still counts
    CHECK(try_put(r, c.format, buf, 8) == kFull);
    CHECK(take_any(&second, &len) == kTaken);  // frees message 0
    check_message(second, len, 1, 8);
    CHECK(r.size() == 3);
    put_message(r, c.format, 4, 8);  // into message 0's room
    fill(buf, 5, 8);
    CHECK(try_put(r, c.format, buf, 8) == kFull);  // message 1 is still held
    check_message(second, 8, 1, 8);                // and intact
    r.release();
    r.release();  // a second release frees nothing more
    CHECK(r.size() == 3);
    put_message(r, c.format, 5, 8);
    for (std::uint64_t seq = 2; seq < 6; ++seq) {
      const char *data;
      CHECK(take_any(&data, &len) == kTaken);
      check_message(data, len, seq, 8);
    }
    r.release();
    const Stats st = r.stats();
    CHECK(st.stored == 6 && st.freed == 6 && st.dropped == 0);
    CHECK(try_take(r, c.format, &first, &len) == kEmpty);
  }
}

// Overwrite drops the oldest to store the newest; a message already taken is
// a private copy, so drops made after the take cannot touch it.
void test_overwrite_keeps_newest() {
  for (const Format f : kFormats) {
    // Four 16-byte messages fill either format exactly.
    Ring r(make_config(16, 4, true));
    for (std::uint64_t seq = 0; seq < 4; ++seq) put_message(r, f, seq, 16);
    const char *taken;
    std::size_t len;
    CHECK(try_take(r, f, &taken, &len) == kTaken);
    for (std::uint64_t seq = 4; seq < 9; ++seq) put_message(r, f, seq, 16);
    check_message(taken, len, 0, 16);
    for (std::uint64_t seq = 5; seq < 9; ++seq) take_message(r, f, seq, 16);
    CHECK(try_take(r, f, &taken, &len) == kEmpty);
    const Stats st = r.stats();
    CHECK_MSG(st.stored == 9 && st.freed == 5 && st.dropped == 4,
              "%s: stored %llu freed %llu dropped %llu", name(f),
              static_cast<unsigned long long>(st.stored), static_cast<unsigned long long>(st.freed),
              static_cast<unsigned long long>(st.dropped));
  }
}

// Bad sizes are reported as exceptions the binding can map, never an abort.
void test_construction_errors() {
  enum class Expect { kOk, kInvalid, kNoMemory };
  constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
  struct Case {
    std::size_t slot, capacity;
    Expect expect;
  };
  constexpr Case kCases[] = {
      {0, 16, Expect::kInvalid},
      {16, 0, Expect::kInvalid},
      {0, 0, Expect::kInvalid},
      {kMax, 1, Expect::kInvalid},      // slot plus header overflows
      {kMax - 7, 1, Expect::kInvalid},  // rounding up to 8 overflows
      // Totals within 63 bytes of SIZE_MAX: rounding them up to whole cache
      // lines for the allocation would wrap to a tiny block.
      {kMax - 15, 1, Expect::kInvalid},
      {(std::size_t{1} << 63) - 16, 2, Expect::kInvalid},
      {1, kMax, Expect::kInvalid},  // capacity * slot overflows
      {kMax / 2, 2, Expect::kInvalid},
      {(std::size_t{1} << 32) - 8, std::size_t{1} << 32, Expect::kInvalid},
      {1, 1, Expect::kOk},
      {std::size_t{1} << 20, std::size_t{1} << 30, Expect::kNoMemory},  // 2^50 bytes
      {8, std::size_t{1} << 59, Expect::kNoMemory},                     // 2^63 bytes
  };
  for (const bool overwrite : {false, true}) {
    for (const Case &c : kCases) {
      Expect got = Expect::kOk;
      try {
        Ring r(make_config(c.slot, c.capacity, overwrite));
      } catch (const std::invalid_argument &) {
        got = Expect::kInvalid;
      } catch (const std::bad_alloc &) {
        got = Expect::kNoMemory;
      }
      CHECK_MSG(got == c.expect, "slot %zu capacity %zu overwrite %d: got outcome %d, expected %d",
                c.slot, c.capacity, overwrite, static_cast<int>(got), static_cast<int>(c.expect));
    }
  }
}

// Windows takes the process-wide barrier, except under Wine, whose
// FlushProcessWriteBuffers does nothing: there only full fences are sound.
void test_barrier_choice() {
#if defined(_WIN32)
  barrier::init();
  const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
  CHECK_MSG(barrier::asymmetric.load() == !wine, "asymmetric %d under %s",
            static_cast<int>(barrier::asymmetric.load()), wine ? "Wine" : "Windows");
#endif
}

}  // namespace

#if VESTREL_TEST_TSAN
// A refused allocation must come back as null (then bad_alloc), as it does
// without the sanitizer, instead of a fatal report.
extern "C" const char *__tsan_default_options() {
  return "allocator_may_return_null=1";
}
#endif

int main() {
  testkit::Watchdog watchdog("ring_unit_test", 100);
  test_too_long();
  test_wrong_mode();
  test_holding();
  test_overwrite_keeps_newest();
  test_construction_errors();
  test_barrier_choice();
  std::printf("ring_unit_test: all cases passed\n");
  return 0;
}
