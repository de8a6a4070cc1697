/* A program that is rough with file descriptors and file modes, as real
 * programs are: it covers the low descriptor numbers with its own file,
 * closes every descriptor it did not open, or sets a umask that leaves new
 * files unreadable. Between its own writes it allocates and frees
 * churn_count blocks in churn(), enough to fill the recorder's buffers many
 * times over. Its own files must come out the same whether it is recorded
 * or not.
 *
 *   fd_work dup2 FILE          FILE copied over descriptors 3..20
 *   fd_work closefds FILE1 FILE2   descriptors 3..1023 closed, then two files opened
 *   fd_work covertop FILE      FILE, open for reading and writing, copied over
 *                              the top sixteenth of the descriptors below 1024
 *   fd_work umask              umask 0777, a forked child works too
 *   fd_work churn              only the allocations
 *
 * Exits with 3 when one of its own calls fails. */
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

enum {
  churn_count = 5000,
  first_covered = 3,
  last_covered = 20,
  last_closed = 1023,
  descriptor_ceiling = 1024,
  top_share = 16
};

__attribute__((noinline)) static void churn(void) {
  for (int i = 0; i < churn_count; ++i) {
    char* volatile p = malloc(32 + (size_t)(i % 64));
    p[0] = 1;
    free(p);
  }
}

static void say(int fd, const char* text) {
  const size_t size = strlen(text);
  if (write(fd, text, size) != (ssize_t)size) _exit(3);
}

static int create(const char* path) {
  const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) _exit(3);
  return fd;
}

/* Every descriptor from 3 to 20 becomes the program's file; whatever the
 * recorder had there is gone. */
static void cover_low_descriptors(const char* path) {
  const int fd = create(path);
  say(fd, "before\n");
  for (int n = first_covered; n <= last_covered; ++n)
    if (n != fd && dup2(fd, n) != n) _exit(3);
  churn();
  for (int n = first_covered; n <= last_covered; ++n) say(n, "after\n");
}

/* The top of the descriptor range, where a recorder would keep its own
 * files, becomes the program's file, which it may read as well as write.
 * Whatever reads or writes through those numbers but the program moves the
 * file's offset or changes its bytes. */
static void cover_top_descriptors(const char* path) {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(3);
  const int top = limit.rlim_cur < descriptor_ceiling ? (int)limit.rlim_cur : descriptor_ceiling;
  const int fd = open(path, O_RDWR | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) _exit(3);
  say(fd, "before\n");
  for (int n = top - top / top_share; n < top; ++n)
    if (n != fd && dup2(fd, n) != n) _exit(3);
  churn();
  for (int n = top - top / top_share; n < top; ++n) say(n, "after\n");
}

/* A daemon-like clean-up of every inherited descriptor, then files of its own. */
static void close_and_reopen(const char* first, const char* second) {
  for (int n = first_covered; n <= last_closed; ++n) close(n);
  const int one = create(first);
  const int two = create(second);
  say(one, "one\n");
  say(two, "two\n");
  churn();
  say(one, "one again\n");
  say(two, "two again\n");
}

static void closed_umask(void) {
  umask(0777);
  const pid_t child = fork();
  if (child < 0) _exit(3);
  churn();
  if (child == 0) _exit(0);
  int status = 0;
  if (waitpid(child, &status, 0) != child || status != 0) _exit(3);
}

int main(int argc, char** argv) {
  if (argc == 3 && strcmp(argv[1], "dup2") == 0) {
    cover_low_descriptors(argv[2]);
  } else if (argc == 3 && strcmp(argv[1], "covertop") == 0) {
    cover_top_descriptors(argv[2]);
  } else if (argc == 4 && strcmp(argv[1], "closefds") == 0) {
    close_and_reopen(argv[2], argv[3]);
  } else if (argc == 2 && strcmp(argv[1], "umask") == 0) {
    closed_umask();
  } else if (argc == 2 && strcmp(argv[1], "churn") == 0) {
    churn();
  } else {
    return 2;
  }
  return 0;
}
