// trace_file against a program that closes, replaces or renames what the
// recorder writes to.

#include "recorder/trace_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "support/scratch_dir.h"

namespace {

using kivrec::trace_file;
using kivtest::read_file;
using kivtest::scratch_dir;

bool put(trace_file& file, const std::string& text) { return file.write(text.data(), text.size()); }

TEST(RecorderFile, FollowsItsFileWhenTheProgramClosesOrReplacesTheDescriptor) {
  scratch_dir dir("kivrec_file");
  trace_file file;
  ASSERT_TRUE(file.create((dir / "trace").c_str(), true));
  EXPECT_TRUE(put(file, "a"));
  ::close(file.descriptor());
  EXPECT_TRUE(put(file, "b"));

  // The program's own file put on the recorder's number stays untouched
  // and open: the number is the program's now.
  const int own = ::open((dir / "own").c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(own, 0);
  const int taken = file.descriptor();
  ASSERT_EQ(::dup2(own, taken), taken);
  EXPECT_TRUE(put(file, "c"));
  EXPECT_NE(file.descriptor(), taken);
  file.close();
  EXPECT_EQ(::fcntl(taken, F_GETFD), 0) << "the program's descriptor is still open";
  ::close(taken);
  ::close(own);

  EXPECT_EQ(read_file(dir / "trace"), "abc");
  EXPECT_EQ(read_file(dir / "own"), "");
  EXPECT_EQ(file.written(), 3u);
  EXPECT_EQ(file.lost(), 0u);
  EXPECT_FALSE(file.create((dir / "trace").c_str(), true)) << "exclusive creation keeps an existing file";
}

// Another file under the trace's path is not the trace: the bytes are lost
// and counted, and nothing more is written after a loss.
TEST(RecorderFile, CountsLostBytesAndNeverWritesAnotherFileUnderItsPath) {
  scratch_dir dir("kivrec_file_lost");
  trace_file file;
  ASSERT_TRUE(file.create((dir / "trace").c_str(), false));
  EXPECT_TRUE(put(file, "kept"));
  ::close(file.descriptor());
  kivtest::write_file(dir / "other", "other");
  ASSERT_EQ(std::rename((dir / "other").c_str(), (dir / "trace").c_str()), 0);
  EXPECT_FALSE(put(file, "lost"));
  EXPECT_FALSE(put(file, "also lost"));
  EXPECT_EQ(read_file(dir / "trace"), "other");
  EXPECT_EQ(file.written(), 4u);
  EXPECT_EQ(file.lost(), 13u);
  EXPECT_EQ(file.error(), ESTALE);
}

// Readable by everyone whatever the umask, closed on exec, and out of the
// way of the low numbers programs take.
TEST(RecorderFile, IsCreatedReadableHighAndClosedOnExec) {
  constexpr rlim_t usual_limit = 1024;
  constexpr int high_floor = 960;  // the top sixteenth below the usual limit
  scratch_dir dir("kivrec_file_mode");
  trace_file file;
  const mode_t umask_before = ::umask(0777);
  const bool created = file.create((dir / "trace").c_str(), true);
  ::umask(umask_before);
  ASSERT_TRUE(created);
  struct stat st {};
  ASSERT_EQ(::stat((dir / "trace").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  EXPECT_EQ(::fcntl(file.descriptor(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_cur >= usual_limit) {
    EXPECT_GE(file.descriptor(), high_floor);
  }
  file.close();
}

}  // namespace
