// Table files are read in pieces that end at record ends. Whatever the
// piece size, the records parsed and their lines are those of the whole
// file; a file that changes while it is read, or is not a regular file at
// all, is refused with its cause instead of crashing or hanging the load.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "db/load_error.h"
#include "db/row_pipeline.h"
#include "db/table_reader.h"
#include "support/scratch_dir.h"

namespace {

using kivdb::record_form;

// Records of each form as kiv writes them, the awkward ones included: a
// "queries" text spanning lines with its end marker on the text's last
// line, a "flowdata" record of NULLs, an entry that ends in "<<>>" without
// being the end line.
const std::string queries_text =
    "h;1;1001;1;1;t0;;t2;select a;b\nfrom t\n  where x = ';'<<>>\n"
    "h;1;1001;2;1;t0;t1;t2;<<>>\n";
const std::string flowdata_text =
    "<<>>\nh;1;1001;7;0;18446744073709551615;2;dyn :combined v;1\narg :long p:<<>>\n<<>>\n<<>>\n";
const std::string freemem_text = "h;-2147483648;18446744073709551615;9223372036854775808;f\nh;0;0;0;Z\n";

struct parsed {
  std::vector<std::string> rows;  // each row's fields joined by '|'
  std::vector<std::string> entries;
};

// Loads the file through the pipeline, as the loader does, with pieces of
// piece_bytes.
parsed parse_file(const std::string& path, const std::string& table, std::size_t piece_bytes) {
  const kivdb::table_def& def = *kivdb::find_table(table);
  kivdb::table_reader reader(path, def.form, piece_bytes);
  kivdb::record_parser parser(def, ';', ';', "h");
  kivdb::flowdata_entries entries;
  parsed out;
  const std::size_t width = def.row_width();
  kivdb::parse_and_store(
      parser, {reader, 0, path}, entries,
      [&](std::span<const kivdb::field> fields) {
        for (std::size_t at = 0; at < fields.size(); at += width) {
          std::string row;
          for (std::size_t i = 0; i < width; ++i)
            row += (fields[at + i].null ? "<null>" : std::string(fields[at + i].text)) + "|";
          out.rows.push_back(row);
        }
      },
      nullptr);
  for (const auto& e : entries.list)
    out.entries.push_back(std::to_string(e.row_nr) + ":" + std::string(e.kind) + ":" + std::string(e.declaration));
  return out;
}

class TableReader : public ::testing::Test {
 protected:
  kivtest::scratch_dir scratch_{"kivdb_reader"};
  std::string file(const std::string& name, const std::string& text) {
    const std::string path = scratch_ / name;
    kivtest::write_file(path, text);
    return path;
  }
};

TEST(EndOfLastRecord, EachFormEndsWhereItsParserStops) {
  struct cut {
    record_form form;
    std::string text;
    std::size_t end;  // 0: no record ends in the text
  };
  const std::vector<cut> cuts = {
      {record_form::line, "a;1\nb;2\nc;", 8},
      {record_form::line, "a;1", 0},
      {record_form::query, "q;select 1<<>>\nq;select\n2", 15},
      {record_form::query, "q;select 1<<>>", 0},
      {record_form::flowdata, "f;1;k:d\n<<>>\nf;2;k:d\n", 13},
      {record_form::flowdata, "<<>>\n", 5},
      // An entry that ends in the marker is not the record's end line.
      {record_form::flowdata, "f;1;k:<<>>\n", 0},
  };
  for (const cut& c : cuts) {
    const char* end = kivdb::end_of_last_record(c.form, c.text.data(), c.text.data() + c.text.size());
    EXPECT_EQ(end == nullptr ? 0 : static_cast<std::size_t>(end - c.text.data()), c.end) << c.text;
  }
}

TEST_F(TableReader, AnyPieceSizeGivesTheRecordsOfTheWholeFile) {
  struct table_text {
    std::string table;
    std::string text;
  };
  const std::vector<table_text> files = {{"queries", queries_text}, {"flowdata", flowdata_text},
                                         {"freemem", freemem_text}};
  for (const table_text& t : files) {
    std::string text;
    for (int i = 0; i < 5; ++i) text += t.text;
    const std::string path = file(t.table + ".csv", text);
    const parsed whole = parse_file(path, t.table, text.size());
    ASSERT_FALSE(whole.rows.empty()) << t.table;
    for (std::size_t piece = 1; piece <= text.size(); ++piece) {
      const parsed pieces = parse_file(path, t.table, piece);
      EXPECT_EQ(pieces.rows, whole.rows) << t.table << " in pieces of " << piece;
      EXPECT_EQ(pieces.entries, whole.entries) << t.table << " in pieces of " << piece;
    }
  }
}

TEST_F(TableReader, ARecordCutAtTheEndOfTheFileNamesItsLine) {
  const std::string path = file("cut.csv", queries_text + "h;1;1001;3;1;t0;t1;t2;select\n  3");
  try {
    parse_file(path, "queries", 8);
    FAIL() << "a cut record loaded";
  } catch (const kivdb::load_error& e) {
    EXPECT_EQ(e.line(), 5u);
    EXPECT_STREQ(e.what(), "record without its end marker <<>>");
  }
}

// A file converted to CR LF line ends is refused; a text that ends in a CR
// of its own, or a "queries" text holding CR LF, is the program's and
// loads as it stands.
TEST_F(TableReader, CrLfLineEndsAreRefusedButCrInTextsIsKept) {
  for (const std::string& text : {std::string("h;1;2;3;f\r\nh;1;2;3;f\r\n"), std::string("h;1;2;3;f\r\n")}) {
    try {
      parse_file(file("crlf.csv", text), "freemem", kivdb::table_reader::default_piece_bytes);
      FAIL() << "CR LF rows loaded";
    } catch (const kivdb::load_error& e) {
      EXPECT_EQ(e.line(), 1u);
      EXPECT_NE(std::string(e.what()).find("CR LF"), std::string::npos) << e.what();
    }
  }
  const parsed own_cr = parse_file(file("cr.csv", "h;1;2;3;f\r\nh;1;2;3;f\n"), "freemem", 64);
  ASSERT_EQ(own_cr.rows.size(), 2u);
  EXPECT_EQ(own_cr.rows[0], "h|1|2|3|f\r|||");  // then the image and row_nr
  const parsed query = parse_file(file("q.csv", "h;1;1001;1;1;t0;t1;t2;select 1\r\nfrom t<<>>\n"), "queries", 64);
  ASSERT_EQ(query.rows.size(), 1u);
  EXPECT_NE(query.rows[0].find("select 1\r\nfrom t"), std::string::npos);
}

TEST_F(TableReader, AFileThatChangesWhileItIsReadIsReported) {
  std::string text;
  for (int i = 0; i < 100; ++i) text += "h;1;" + std::to_string(i) + ";0;f\n";
  const std::string path = file("changing.csv", text);
  {
    kivdb::table_reader shrinking(path, record_form::line, 64);
    ASSERT_NE(shrinking.next(), nullptr);
    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(text.size() / 2)), 0);
    try {
      while (shrinking.next() != nullptr) {
      }
      FAIL() << "a file cut while it was read gave no error";
    } catch (const kivdb::input_error& e) {
      EXPECT_NE(std::string(e.what()).find("the file changed during the load"), std::string::npos) << e.what();
    }
  }
  kivtest::write_file(path, text);
  kivdb::table_reader growing(path, record_form::line, 64);
  ASSERT_NE(growing.next(), nullptr);
  kivtest::write_file(path, text + text);
  EXPECT_THROW(
      while (growing.next() != nullptr) {}, kivdb::input_error);
}

TEST_F(TableReader, OnlyRegularFilesAreOpened) {
  const std::string fifo = scratch_ / "fifo.csv";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string link = scratch_ / "zero.csv";
  std::filesystem::create_symlink("/dev/zero", link);
  struct refused {
    std::string path;
    std::string message;
  };
  const std::vector<refused> cases = {{fifo, "not a regular file (a FIFO)"},
                                      {link, "not a regular file (a character device)"},
                                      {scratch_.path().string(), "not a regular file (a directory)"},
                                      {scratch_ / "missing.csv", "No such file or directory"}};
  for (const refused& c : cases) {
    try {
      kivdb::table_reader reader(c.path, record_form::line);
      FAIL() << c.path << " was opened";
    } catch (const kivdb::input_error& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
  EXPECT_EQ(kivdb::read_whole_file(file("script.sql", "USE KIV\n")), "USE KIV\n");
}

}  // namespace
