#include <gtest/gtest.h>

#include <string>

#include "memory/KivHashLoc.h"
#include "tests/reader/reader_test_support.h"

namespace {

using kiv_test::conversion;
using kiv_test::ReaderTest;

using HashLocTest = ReaderTest;

// Keys are signed: a 4-byte key with its top bit set is negative and sorts
// first; a second description of a key is refused and the first one stays.
TEST_F(HashLocTest, TableInSignedKeyOrderKeepsFirstTextOfDuplicates) {
  kivw::trace_session s(options());
  s.hashloc(5, "five.c:5");
  s.hashloc(0xfffffff0, "neg.c:16");
  s.hashloc(5, "again.c:6");
  s.hashloc(3, "three.c:3");
  s.close();
  const conversion c = convert(s.header_path());
  EXPECT_EQ(table("hashloc"), "4711;7;-16;neg.c:16\n4711;7;3;three.c:3\n4711;7;5;five.c:5\n");
  EXPECT_NE(c.out.find("Error hashloc 5 already found! \n"), std::string::npos);
  EXPECT_EQ(c.out.find("Error hashloc 5 already found! \n", c.out.find("Error hashloc") + 1),
            std::string::npos);
}

// A location is resolved when its record is read: before its description
// (and for key 0, never described) it is the unknown location.
TEST_F(HashLocTest, LocationsResolveToTheTextKnownWhenRead) {
  kivw::trace_session s(options());
  s.encoded('F', {1, std::uint64_t{0xfffffff0}, 0, 0});
  s.hashloc(0xfffffff0, "neg.c:16");
  s.encoded('F', {1, std::uint64_t{0xfffffff0}, 0, 0});
  s.encoded('Z', {1, 0, 0, 0});
  s.close();
  debug_level = 2;
  const conversion c = convert(s.header_path());
  EXPECT_NE(c.err.find("eventnr: 1 id: 1 location: unknown MalSrc location\n"), std::string::npos);
  EXPECT_NE(c.err.find("eventnr: 3 id: 1 location: neg.c:16\n"), std::string::npos);
  EXPECT_NE(c.err.find("eventnr: 4 id: 1 location: unknown MalSrc location\n"), std::string::npos);
}

TEST(HashLocDb, UnknownKeysGiveTheDefaultText) {
  KivHashLoc_db db;
  db.add_hashloc(std::make_unique<KivHashLoc>(-16, "neg.c:16"));
  EXPECT_EQ(db.get_hashloc(-16), "neg.c:16");
  EXPECT_EQ(db.get_hashloc(0xfffffff0), "unknown MalSrc location");
  EXPECT_EQ(db.get_hashloc(0), "unknown MalSrc location");
}

}  // namespace
