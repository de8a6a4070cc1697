// The recorder's allocation-free building blocks: text and record encoding,
// symbol tables read from ELF files, function numbering, interned stacks
// and the table of loaded objects.

#include <gtest/gtest.h>
#include <unistd.h>

#include <dlfcn.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <vector>
#include <set>
#include <string>

#include "recorder/elf_symbols.h"
#include "recorder/function_list.h"
#include "recorder/object_map.h"
#include "recorder/stack_file.h"
#include "recorder/stack_file_reader.h"
#include "recorder/record_encoder.h"
#include "recorder/stack_table.h"
#include "recorder/text_buffer.h"
#include "support/run_program.h"
#include "support/scratch_dir.h"

namespace {

using kivrec::text_buffer;

TEST(RecorderText, FormatsEscapesAndCutsWithoutOverflowing) {
  char storage[64];
  text_buffer t(storage, sizeof storage);
  t.number(0).character(' ').number(18446744073709551615ULL).character(' ').signed_number(-9223372036854775807LL - 1);
  t.character(' ').hex(0xdeadbeef).character(' ').hex(0);
  EXPECT_EQ(t.view(), "0 18446744073709551615 -9223372036854775808 deadbeef 0");
  EXPECT_FALSE(t.overflowed());

  t.clear();
  t.escaped("a&b<c>\"d\"\x01\n");
  EXPECT_EQ(t.view(), "a&amp;b&lt;c&gt;&quot;d&quot;??");

  char small[8];
  text_buffer cut(small, sizeof small);
  cut.text("0123456789");
  EXPECT_EQ(cut.view(), "01234567");
  EXPECT_TRUE(cut.overflowed());
  EXPECT_STREQ(cut.c_str(), "0123456");  // room for the zero byte

  EXPECT_EQ(kivrec::base_name("/usr/lib/libc.so.6"), "libc.so.6");
  EXPECT_EQ(kivrec::base_name("prog"), "prog");
  EXPECT_EQ(kivrec::base_name("dir/"), "");
}

std::string bytes_of(const kivrec::record_encoder& r) {
  return std::string(reinterpret_cast<const char*>(r.bytes()), r.size());
}

TEST(RecorderEncoder, FramesRecordsWithDeclaredWidths) {
  kivrec::record_encoder r(8);
  r.begin('f').u32(7).i32(-1).address(0x0102030405060708ULL).address(0).finish();
  EXPECT_EQ(bytes_of(r), std::string("f\x18\x00" "\x07\x00\x00\x00" "\xff\xff\xff\xff"
                                     "\x08\x07\x06\x05\x04\x03\x02\x01" "\x00\x00\x00\x00\x00\x00\x00\x00", 27));
  r.set_address_width(4);
  r.begin('H').address(0x0102030405060708ULL).string("ab").finish();
  EXPECT_EQ(bytes_of(r), std::string("H\x07\x00" "\x08\x07\x06\x05" "ab\x00", 10));
  r.begin('O').finish();
  EXPECT_EQ(bytes_of(r), std::string("O\x00\x00", 3));

  // A string longer than the record can hold is cut, still zero-terminated.
  r.begin('C').string(std::string(2 * kivrec::record_encoder::capacity, 'x')).finish();
  ASSERT_EQ(r.size(), kivrec::record_encoder::capacity);
  EXPECT_EQ(r.bytes()[r.size() - 1], 0);
  const std::size_t length = r.bytes()[1] | r.bytes()[2] << 8;
  EXPECT_EQ(length, r.size() - 3);
}

TEST(RecorderSymbols, NumbersTheFunctionsOfAnObjectByAddress) {
  kivrec::elf_symbols symbols;
  ASSERT_TRUE(symbols.load(KNOWN_WORK_BINARY));
  kivrec::function_list functions;
  ASSERT_TRUE(functions.build(symbols));
  ASSERT_GT(functions.size(), 10u);

  std::set<std::string> names;
  std::uint64_t leak_one = 0;
  for (std::size_t i = 0; i < symbols.symbol_count(); ++i) {
    std::uint64_t address = 0;
    std::string_view name;
    if (!symbols.function_symbol(i, &address, &name)) continue;
    names.insert(std::string(name));
    if (name == "leak_one") leak_one = address;
  }
  EXPECT_TRUE(names.count("main") && names.count("pairs") && names.count("thread_work"));
  ASSERT_NE(leak_one, 0u);

  // A function's start and an address inside it give its number; the
  // number names it; numbers run from 1 without gaps.
  const std::int32_t n = functions.number_of(leak_one);
  EXPECT_EQ(functions.name(n), "leak_one");
  EXPECT_EQ(functions.number_of(leak_one + 1), n);
  EXPECT_EQ(functions.number_of(0), 0);
  EXPECT_EQ(functions.name(0), "");
  EXPECT_EQ(functions.name(static_cast<std::int32_t>(functions.size()) + 1), "");
  for (std::int32_t k = 1; k <= static_cast<std::int32_t>(functions.size()); ++k) EXPECT_FALSE(functions.name(k).empty());

  std::string_view name;
  std::uint64_t offset = 0;
  ASSERT_TRUE(symbols.find_function(leak_one + 3, &name, &offset));
  EXPECT_EQ(name, "leak_one");
  EXPECT_EQ(offset, 3u);
}

TEST(RecorderSymbols, RefusesFilesThatAreNotWholeElfObjects) {
  kivtest::scratch_dir dir("kivrec_elf");
  kivtest::write_file(dir.path() / "text", "not an object file at all, but long enough to hold a header......");
  const std::string elf = kivtest::read_file(KNOWN_WORK_BINARY);
  kivtest::write_file(dir.path() / "cut", elf.substr(0, 256));  // header only: sections are past the end
  kivrec::elf_symbols symbols;
  EXPECT_FALSE(symbols.load((dir / "text").c_str()));
  EXPECT_FALSE(symbols.load((dir / "cut").c_str()));
  EXPECT_FALSE(symbols.load((dir / "missing").c_str()));
  kivrec::function_list functions;
  EXPECT_FALSE(functions.build(symbols));
  EXPECT_EQ(functions.number_of(0x1234), 0);
}

std::uint64_t same_hash(const std::uint64_t*, std::uint32_t, std::uint32_t) { return 42; }

// Stacks are told apart frame by frame: with a hash under which every
// stack collides, each distinct stack still keeps a key of its own.
TEST(RecorderStacks, DistinctStacksNeverShareAKey) {
  for (const auto hash : {&kivrec::stack_hash, &same_hash}) {
    kivrec::stack_table table(hash);
    const std::vector<std::vector<std::uint64_t>> stacks = {
        {0x1000, 0x2000, 0x3000}, {0x1000, 0x2000}, {0x1000, 0x2000, 0x3001}, {0x2000, 0x1000, 0x3000}, {}};
    std::vector<std::uint32_t> keys;
    for (const auto& frames : stacks) {
      bool added = false;
      const kivrec::stack_entry* e = table.intern(frames.data(), static_cast<std::uint32_t>(frames.size()), 0, &added);
      ASSERT_NE(e, nullptr);
      EXPECT_TRUE(added);
      keys.push_back(e->key);
    }
    EXPECT_EQ(keys, (std::vector<std::uint32_t>{1, 2, 3, 4, 5}));
    // The same frames in another object generation are another stack.
    bool added = false;
    EXPECT_EQ(table.intern(stacks[0].data(), 3, 1, &added)->key, 6u);
    for (std::size_t i = 0; i < stacks.size(); ++i) {
      const auto count = static_cast<std::uint32_t>(stacks[i].size());
      ASSERT_NE(table.find(stacks[i].data(), count, 0), nullptr);
      EXPECT_EQ(table.find(stacks[i].data(), count, 0)->key, keys[i]);
      EXPECT_EQ(table.intern(stacks[i].data(), count, 0, &added)->key, keys[i]);
      EXPECT_FALSE(added);
    }
  }
}

TEST(RecorderStacks, ManyStacksSurviveTheTablesGrowth) {
  kivrec::stack_table table;
  constexpr std::uint64_t count = 50000;
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t frames[] = {0x400000 + i, 0x500000, 0x600000 + i % 7};
    bool added = false;
    ASSERT_EQ(table.intern(frames, 3, 0, &added)->key, i + 1);
  }
  for (std::uint64_t i = 0; i < count; i += 997) {
    const std::uint64_t frames[] = {0x400000 + i, 0x500000, 0x600000 + i % 7};
    EXPECT_EQ(table.find(frames, 3, 0)->key, i + 1);
  }
  table.clear();
  const std::uint64_t frame = 0x400000;
  bool added = false;
  EXPECT_EQ(table.intern(&frame, 1, 0, &added)->key, 1u) << "keys start again after clear";
}

struct object_events {
  std::vector<std::string> appeared, went_away;
};

// The loaded objects of this test process: found by address, a library
// dlopen'ed appears and, once dlclose'd, goes away in a new generation.
TEST(RecorderObjects, LoadedObjectsAreFollowedThroughDlopenAndDlclose) {
  kivtest::scratch_dir dir("kivrec_objects");
  kivtest::write_file(dir.path() / "plugin.c", "int plugin_value(void) { return 7; }\n");
  const auto built = kivtest::run_program(
      "/usr/bin/gcc", {{"-shared", "-fPIC", "-o", dir / "libplugin.so", dir / "plugin.c"}, "", {}});
  ASSERT_EQ(built.status, 0) << built.err;

  static kivrec::object_map map;  // large: kept out of the test's stack
  object_events events;
  const kivrec::object_sink sink{
      [](void* c, const kivrec::loaded_object& o) { static_cast<object_events*>(c)->appeared.push_back(o.path); },
      [](void* c, const kivrec::loaded_object& o) { static_cast<object_events*>(c)->went_away.push_back(o.path); },
      &events};
  map.refresh(sink, true);
  ASSERT_FALSE(events.appeared.empty());
  const std::uint32_t self = map.find(reinterpret_cast<std::uint64_t>(&same_hash));
  ASSERT_NE(self, kivrec::object_map::none);
  EXPECT_TRUE(map.object(self).main_program);
  EXPECT_GT(map.object(self).build_id_size, 0);
  // getpid: a function of the C library that no sanitizer runtime replaces.
  const std::uint32_t libc = map.find(reinterpret_cast<std::uint64_t>(&::getpid));
  ASSERT_NE(libc, kivrec::object_map::none);
  EXPECT_TRUE(map.object(libc).runtime);

  void* handle = ::dlopen((dir / "libplugin.so").c_str(), RTLD_NOW);
  ASSERT_NE(handle, nullptr);
  const auto function = reinterpret_cast<std::uint64_t>(::dlsym(handle, "plugin_value"));
  EXPECT_EQ(map.find(function), kivrec::object_map::none) << "not read again yet";
  events = {};
  map.refresh(sink);
  EXPECT_EQ(events.appeared, std::vector<std::string>{dir / "libplugin.so"});
  const std::uint32_t plugin = map.find(function);
  ASSERT_NE(plugin, kivrec::object_map::none);
  const std::uint32_t generation = map.generation();
  EXPECT_EQ(map.object(plugin).first_generation, generation);

  ::dlclose(handle);
  events = {};
  map.refresh(sink);
  EXPECT_EQ(events.went_away, std::vector<std::string>{dir / "libplugin.so"});
  EXPECT_EQ(map.generation(), generation + 1);
  EXPECT_EQ(map.object(plugin).end_generation, generation + 1);
  EXPECT_EQ(map.find(function), kivrec::object_map::none);
  events = {};
  map.refresh(sink);
  EXPECT_TRUE(events.appeared.empty() && events.went_away.empty()) << "nothing changed";
}

}  // namespace

namespace {

// A stack file as the recorder writes it: two objects, one unloaded and
// its addresses reused by the other, and stacks of both generations.
std::string written_stack_file(const std::filesystem::path& path) {
  kivrec::stack_file out;
  EXPECT_TRUE(out.open(path.c_str(), 8));
  kivrec::loaded_object first;
  first.index = 0;
  first.range_count = 1;
  first.ranges[0] = {0x1000, 0x2000};
  first.build_id_size = 2;
  first.build_id[0] = 0xab;
  first.build_id[1] = 0xcd;
  std::strcpy(first.path, "/lib/first.so");
  out.object(first);
  const std::uint64_t frames[] = {0x1010, 0x1020, 0x9999};
  out.stack(1, 0, frames, 3);
  first.end_generation = 1;
  out.unload(first);
  kivrec::loaded_object second = first;
  second.index = 1;
  second.first_generation = 1;
  second.end_generation = 0;
  second.load_bias = 0x1000;
  std::strcpy(second.path, "/lib/second.so");
  out.object(second);
  out.stack(2, 1, frames, 2);
  out.close();
  return kivtest::read_file(path);
}

}  // namespace

// kivrec reads a stack file while the program appends to it: a record
// cut anywhere waits for its rest, and the pieces read as the whole file.
TEST(RecorderStackFile, PiecesReadAsTheWholeFile) {
  kivtest::scratch_dir dir("kivrec_stack_file");
  const std::string bytes = written_stack_file(dir.path() / "kiv.1.kivstk");
  std::string error;
  const auto whole = kivrec::read_stack_file(dir.path() / "kiv.1.kivstk", &error);
  ASSERT_TRUE(whole.has_value()) << error;
  ASSERT_EQ(whole->stacks.size(), 2u);
  EXPECT_EQ(whole->object_at(0x1010, 0)->path, "/lib/first.so");
  EXPECT_EQ(whole->object_at(0x1010, 1)->path, "/lib/second.so");
  EXPECT_EQ(whole->object_at(0x9999, 0), nullptr);
  EXPECT_EQ(whole->objects[0].build_id, "\xab\xcd");

  for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
    kivrec::stack_file_parser parser("piece");
    std::size_t first = 0, rest = 0;
    ASSERT_TRUE(parser.feed(std::string_view(bytes).substr(0, cut), &first, &error)) << error;
    ASSERT_LE(first, cut);
    ASSERT_TRUE(parser.feed(std::string_view(bytes).substr(first), &rest, &error)) << error;
    ASSERT_EQ(first + rest, bytes.size()) << "cut at " << cut;
    const kivrec::stack_file_contents& c = parser.contents();
    ASSERT_EQ(c.stacks.size(), 2u) << "cut at " << cut;
    EXPECT_EQ(c.stacks[1].frames, whole->stacks[1].frames);
    EXPECT_EQ(c.objects[1].path, "/lib/second.so");
    EXPECT_EQ(c.objects[0].end_generation, 1u);
  }

  // Not a stack file, and a record that does not hold what its tag says.
  kivrec::stack_file_parser other("other");
  std::size_t taken = 0;
  EXPECT_FALSE(other.feed(std::string("K\x00\x00\x00\x00", 5), &taken, &error));
  EXPECT_EQ(error, "other is not a stack file of this version");
  kivrec::stack_file_parser damaged("damaged");
  const std::string short_stack = bytes.substr(0, 13) + std::string("K\x02\x00\x00\x00\x01\x00", 7);
  EXPECT_FALSE(damaged.feed(short_stack, &taken, &error));
  EXPECT_EQ(error, "damaged: a damaged record");
}
