// Configuration of a traced process from its environment.

#include <filesystem>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "test_dir.h"
#include "trace_decoder.h"
#include "writer/trace_session.h"

namespace {

using env_map = std::map<std::string, std::string>;

std::optional<kivw::trace_options> from(const env_map& env, std::int32_t pid = 321) {
  return kivw::options_from_environment(pid, [&env](const char* name) -> const char* {
    const auto it = env.find(name);
    return it == env.end() ? nullptr : it->second.c_str();
  });
}

TEST(WriterEnvironment, TraceFieldsAndTheirFallbacks) {
  auto o = from({{"KIV_TRACE", "1,/t,8,base,myrun,l"}});
  ASSERT_TRUE(o);
  EXPECT_EQ(o->format, kivw::data_format::binary);
  EXPECT_EQ(o->dir, "/t");
  EXPECT_EQ(o->size_limit, 8u * 1024);
  EXPECT_EQ(o->base, "base");
  EXPECT_EQ(o->runid, "myrun");
  EXPECT_EQ(o->bufmode, kivw::buffer_mode::line);
  EXPECT_EQ(o->pid, 321);

  // KIV_LEVEL, KIV_SIZE and KIV_BUFMODE win over the fields; the dir and
  // runid fields win over KIV_DIR and KIV_RUNID.
  o = from({{"KIV_TRACE", "1,/t,8,,myrun,l"}, {"KIV_LEVEL", "A"}, {"KIV_SIZE", "2"},
            {"KIV_BUFMODE", "n"}, {"KIV_DIR", "/other"}, {"KIV_RUNID", "other"}});
  ASSERT_TRUE(o);
  EXPECT_EQ(o->format, kivw::data_format::text);
  EXPECT_EQ(o->size_limit, 2u * 1024);
  EXPECT_EQ(o->bufmode, kivw::buffer_mode::none);
  EXPECT_EQ(o->dir, "/t");
  EXPECT_EQ(o->runid, "myrun");
  EXPECT_EQ(o->base, "kiv");

  // Empty fields fall back to the variables, then to the defaults.
  o = from({{"KIV_TRACE", "b,,,,,"}, {"KIV_DIR", "/d"}, {"KIV_RUNID", "abcdefghijkl"}, {"KIV_NOPID", ""}});
  ASSERT_TRUE(o);
  EXPECT_EQ(o->dir, "/d");
  EXPECT_EQ(o->runid, "abcdefghi");
  EXPECT_EQ(o->pid, 0);
  EXPECT_EQ(o->size_limit, 4096u * 1024);
  EXPECT_EQ(o->bufmode, kivw::buffer_mode::full);

  o = from({{"KIV_LEVEL", "1"}, {"KRE_TMP", "/kt"}, {"KRE", "/k"}});
  ASSERT_TRUE(o);
  EXPECT_EQ(o->dir, "/kt");
  EXPECT_EQ(o->runid, "321");
  o = from({{"KIV_LEVEL", "1"}, {"KRE", "/k"}, {"USER", "u"}});
  ASSERT_TRUE(o);
  EXPECT_EQ(o->dir, "/k/tmp");
  EXPECT_EQ(o->trailer.user, "u");
  EXPECT_EQ(o->trailer.kre, "/k");
}

TEST(WriterEnvironment, TracingStaysOffWithoutLevelOrDirectory) {
  EXPECT_FALSE(from({}));
  EXPECT_FALSE(from({{"KIV_DIR", "/d"}}));
  EXPECT_FALSE(from({{"KIV_TRACE", "x,/d"}}));
  EXPECT_FALSE(from({{"KIV_TRACE", "1"}}));
  EXPECT_FALSE(from({{"KIV_TRACE", "1,/d"}, {"KIV_LEVEL", "0"}}));
  EXPECT_TRUE(from({{"KIV_TRACE", "2,/d"}}));
}

TEST(WriterEnvironment, NoPidAndLongRunIdShapeTheFileNames) {
  trace_test::test_dir dir;
  auto o = from({{"KIV_TRACE", "1," + dir.str() + ",1"}, {"KIV_RUNID", "0123456789xyz"}, {"KIV_NOPID", "1"}}, 555);
  ASSERT_TRUE(o);
  o->clock = std::make_shared<kivw::fake_clock>();
  std::string header;
  {
    kivw::trace_session s(*o);
    header = s.header_path();
    for (int i = 0; i < 200; ++i) s.marker("twenty bytes of text");
  }
  EXPECT_EQ(header, dir.str() + "/012345678/kiv.0.kivhdr");
  const auto h = trace_test::read_header(header);
  EXPECT_EQ(h.values.at("pid"), std::vector<std::string>{"0"});
  EXPECT_EQ(h.values.at("runid"), std::vector<std::string>{"012345678"});
  ASSERT_GE(h.files.size(), 2u);
  EXPECT_EQ(h.files[1].file, "./012345678/kiv.0.001.kivdat");
  EXPECT_TRUE(std::filesystem::exists(dir.str() + "/012345678/kiv.0.001.kivdat"));
}

TEST(WriterEnvironment, DeterministicOptionsRepeatTheirClockAndTrailer) {
  const auto a = kivw::deterministic_options("/d", "x", 5);
  const auto b = kivw::deterministic_options("/d", "x", 5);
  EXPECT_EQ(a.clock->now(), (kivw::time_value{1'767'225'600, 0}));
  EXPECT_EQ(a.clock->now(), (kivw::time_value{1'767'225'600, 1'000'000}));
  EXPECT_EQ(b.clock->now(), (kivw::time_value{1'767'225'600, 0}));  // clocks are not shared
  EXPECT_EQ(a.trailer.hostname, "testhost");
  EXPECT_EQ(a.pid, 5);
}

TEST(WriterEnvironment, ThisProcessPublishesItsRunId) {
  trace_test::test_dir dir;
  setenv("KIV_TRACE", ("1," + dir.str()).c_str(), 1);
  unsetenv("KIV_RUNID");
  const auto o = kivw::options_for_this_process("prog");
  unsetenv("KIV_TRACE");
  ASSERT_TRUE(o);
  EXPECT_EQ(o->runid, std::to_string(getpid()));
  ASSERT_NE(getenv("KIV_RUNID"), nullptr);
  EXPECT_EQ(std::string(getenv("KIV_RUNID")), o->runid);
  EXPECT_EQ(o->trailer.progname, "prog");
  unsetenv("KIV_RUNID");
}

}  // namespace
