#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "header/XmlParser.h"
#include "header/el_stack.h"
#include "header/kiv_hdr.h"
#include "runtime/settings.h"
#include "support/scratch_dir.h"

// Writes header documents to files and reads them into a kiv_hdr, as one
// conversion does.
class HeaderTest : public ::testing::Test {
 protected:
  void SetUp() override { debug_level = 0; }
  void TearDown() override {
    debug_level = 0;
    data_sep = default_separator;
  }

  struct parsed {
    std::unique_ptr<XmlParser> parser;
    std::unique_ptr<kiv_hdr> hdr;
    int result = -1;
  };

  std::string write_header(const std::string& text, const std::string& name = "prog.4242.kivhdr") {
    const std::string path = dir_ / name;
    kivtest::write_file(path, text);
    return path;
  }

  parsed read_path(const std::string& path, const std::string& description = "my run") {
    parsed p;
    p.parser = std::make_unique<XmlParser>(startElement, endElement, dataElement, nullptr);
    p.hdr = std::make_unique<kiv_hdr>(p.parser.get(), path, description);
    p.result = p.hdr->read_header();
    return p;
  }

  parsed read_text(const std::string& text) { return read_path(write_header(text)); }

  kivtest::scratch_dir dir_{"kiv_header"};
};

// The header the trace writer produces for a run with two record types and
// two data files.
inline const std::string complete_header = R"(<?xml version="1.0" encoding="ISO-8859-1"?>
<kiv>
 <version type="1"/>
 <filetype type="bin"/>
 <endianess values="l"/>
 <pid value="4242"/>
 <runid value="4711"/>
 <al_alloc>
  <m_entry size="16"/>
  <mem_block size="4096"/>
  <m_group size="65536"/>
 </al_alloc>
 <entries>
  <entry tag="a" name="malloc_wf" desc="allocation with free">
   <elem name="id" size="4"/>
   <elem name="addr" size="8"/>
   <elem name="size" size="4"/>
   <format fmt="%d %p %d"/>
  </entry>
  <entry tag="f" name="free" desc="free">
   <elem name="addr" size="8"/>
  </entry>
 </entries>
 <kivfile><file value="trace/run/prog.4242.000.kivdat"/><size value="1234"/></kivfile>
 <kivfile><file value="trace/run/prog.4242.001.kivdat"/><size value="99"/></kivfile>
 <time_start secs="1000000000" nsecs="123456789"/>
 <time_end secs="1000000061" nsecs="999999999"/>
 <progname name="prog"/>
 <user value="anna"/>
 <kre value="kre7"/>
 <pacc value="pacc1"/>
 <hostname value="host1"/>
</kiv>
)";

// The part of a header up to the end of its entries, with <kiv> still open.
inline std::string header_until_entries() {
  return complete_header.substr(0, complete_header.find("</entries>") + std::string("</entries>\n").size());
}
