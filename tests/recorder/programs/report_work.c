/* A program for kivrec's one command to report: it leaks leak_count blocks
 * of leak_size bytes in leak_here(), makes short-lived blocks, says so on
 * standard output and ends the way its arguments ask:
 *   report_work STATUS [mkdir PATH] [kill]
 * exits with STATUS, after creating directory PATH (in the way of a file
 * that kivrec's later steps write) and after killing itself with SIGKILL. */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

enum {
  leak_count = 3,
  leak_size = 4000,
  /* Enough records to fill several small data files (kivrec --size), so
   * that a run killed outright still has closed data files to convert. */
  temporary_count = 20000
};

static void* volatile kept[leak_count];

__attribute__((noinline)) static void leak_here(int i) {
  kept[i] = malloc(leak_size);
  memset(kept[i], 1, leak_size);
}

__attribute__((noinline)) static void temporaries(void) {
  for (int i = 0; i < temporary_count; ++i) {
    char* volatile p = malloc(16 + (size_t)(i % 200));
    p[0] = 1;
    free(p);
  }
}

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  for (int i = 0; i < leak_count; ++i) leak_here(i);
  temporaries();
  puts("report_work: done");
  fflush(stdout);
  for (int i = 2; i < argc; ++i) {
    if (strcmp(argv[i], "mkdir") == 0 && i + 1 < argc) mkdir(argv[++i], 0755);
    if (strcmp(argv[i], "kill") == 0) raise(SIGKILL);
  }
  return atoi(argv[1]);
}
