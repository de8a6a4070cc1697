#include "model/KivSymbol.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>

namespace {

std::string text_of(const KivSymbol& sym) {
  const auto path = std::filesystem::temp_directory_path() / ("kiv_symbol_" + std::to_string(::getpid()) + ".csv");
  {
    out_stream os;
    if (!os.open(path.string(), true)) return "<open failed>";
    os << sym;
  }
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  std::filesystem::remove(path);
  return ss.str();
}

KivSymbol allocated(unsigned flags, std::string name, int category = KivSymbol::local) {
  KivSymbol sym(0x1000, category, 1);
  sym.set_storage(flags, 8, std::move(name), 0);
  return sym;
}

TEST(KivSymbolName, EmptyNameIsMadeFromCategoryAndNumber) {
  EXPECT_EQ(KivSymbol::make_name(KivSymbol::local, 7), "local<7>");
  EXPECT_EQ(KivSymbol::make_name(KivSymbol::argument, 0), "arg<0>");
  EXPECT_EQ(KivSymbol::make_name(KivSymbol::external, 12), "global<12>");
  EXPECT_EQ(KivSymbol::make_name(KivSymbol::dynamic, 7), "dynamic");
  EXPECT_EQ(KivSymbol::make_name(9, 7), "");
  EXPECT_EQ(KivSymbol::make_name(KivSymbol::local, -1), "<no_symnr:cannot happen>");
  EXPECT_EQ(KivSymbol::make_name(9, -1), "<no_symnr:cannot happen>");
}

TEST(KivSymbolName, LastStorageAllocationWinsAndKeepsAGivenName) {
  KivSymbol sym(-8, KivSymbol::local, 7);
  sym.set_storage(0x1, 4, "", 3);
  EXPECT_EQ(sym.name, "local<7>");
  sym.set_storage(0x2, 16, "total", 5);
  EXPECT_EQ(sym.name, "total");
  EXPECT_EQ(sym.flags, 0x2u);
  EXPECT_EQ(sym.size, 16u);
  EXPECT_EQ(sym.alloc_step, 5u);
}

TEST(KivSymbolText, DimensionsAreWrittenForOneToFourOnly) {
  KivSymbol sym = allocated(0x1, "cnt");
  EXPECT_EQ(text_of(sym), "long cnt ");
  sym.set_dims(2, {3, 4, 0, 0});
  EXPECT_EQ(text_of(sym), "long cnt(3,4) ");
  sym.set_dims(4, {1, 2, 4294967295u, 4});
  EXPECT_EQ(text_of(sym), "long cnt(1,2,4294967295,4) ");
  // Counts a trace may claim but that have no stored dimensions.
  sym.set_dims(5, {1, 2, 3, 4});
  EXPECT_EQ(text_of(sym), "long cnt() ");
  sym.set_dims(2'000'000'000, {1, 2, 3, 4});
  EXPECT_EQ(text_of(sym), "long cnt() ");
  sym.set_dims(-3, {1, 2, 3, 4});
  EXPECT_EQ(text_of(sym), "long cnt() ");
}

TEST(KivSymbolText, StorageWordsComeInTheirFixedOrder) {
  KivSymbol sym = allocated(0x901, "cnt");
  sym.set_dims(2, {3, 4, 0, 0});
  EXPECT_EQ(text_of(sym), "extern combined long cnt(3,4) ");

  // common wins over extern; based, fixed and mb follow the name.
  EXPECT_EQ(text_of(allocated(0x500 | 0x4000 | 0x20 | 0x200 | 0x2, "x")), "common double x based fixed mb ");
  EXPECT_EQ(text_of(allocated(0x400, "x")), "common x ");
  EXPECT_EQ(text_of(allocated(0x4, "s")), "string s ");
}

TEST(KivSymbolText, BaseTypeWordNeedsAnExactMaskedValueAndDomainReplacesIt) {
  EXPECT_EQ(text_of(allocated(0x8001, "t")), "table t ");
  EXPECT_EQ(text_of(allocated(0x10001, "b")), "boolean b ");
  EXPECT_EQ(text_of(allocated(0x3, "n")), "n ");
  EXPECT_EQ(text_of(allocated(0x8000, "n")), "n ");
  // Bits outside the mask do not disturb the type word.
  EXPECT_EQ(text_of(allocated(0x1 | 0x80, "l")), "long l ");

  KivSymbol sym = allocated(0x40 | 0x1, "amount");
  sym.domain = "money";
  EXPECT_EQ(text_of(sym), "domain money amount ");
  sym.domain.clear();
  EXPECT_EQ(text_of(sym), "domain  amount ");
}

TEST(KivSymbolKind, KindTextByCategory) {
  EXPECT_EQ(allocated(0, "a", KivSymbol::argument).kind_text(), "arg ");
  EXPECT_EQ(allocated(0, "a", KivSymbol::local).kind_text(), "loc ");
  EXPECT_EQ(allocated(0, "a", KivSymbol::external).kind_text(), "ext ");
  EXPECT_EQ(allocated(0x100000, "a", KivSymbol::external).kind_text(), "glob");
  EXPECT_EQ(allocated(0x100000, "a", KivSymbol::local).kind_text(), "loc ");
  EXPECT_EQ(allocated(0, "a", KivSymbol::dynamic).kind_text(), "dyn ");
  EXPECT_EQ(allocated(0, "a", 0).kind_text(), "");
  EXPECT_EQ(allocated(0, "a", -2).kind_text(), "");
}

}  // namespace
