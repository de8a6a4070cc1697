/* A program whose heap work is known exactly: the recorder tests record it
 * and compare kiv's tables with the counts below. Each kind of work has its
 * own function, so that its records can be told apart by location. It
 * exits with 3 when the allocator did not behave as the work assumes. */
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

enum {
  pair_count = 100,      /* malloc + free in pairs() */
  thread_count = 4,
  thread_pairs = 250,    /* malloc + free per thread in thread_work() */
  child_allocs = 5,      /* in child_work(); all but one freed */
  leak_one_count = 3,
  leak_two_count = 2
};

static void* volatile keep;

__attribute__((noinline)) static void pairs(void) {
  for (int i = 0; i < pair_count; ++i) {
    char* p = malloc(32 + (size_t)i);
    p[0] = 1;
    free(p);
  }
}

/* Shrinking keeps the block where it is. (Addresses are compared as
 * numbers taken before the call: the compiler may assume that realloc's
 * result never equals a pointer it was given.) */
__attribute__((noinline)) static int realloc_in_place(void) {
  char* p = malloc(1000);
  const volatile uintptr_t old = (uintptr_t)p;
  char* q = realloc(p, 500);
  const int same = (uintptr_t)q == old;
  free(q);
  return same;
}

/* The block behind stops growth in place, so the block moves. */
__attribute__((noinline)) static int realloc_moved(void) {
  char* p = malloc(100);
  const volatile uintptr_t old = (uintptr_t)p;
  char* behind = malloc(100);
  char* q = realloc(p, 5000);
  const int moved = (uintptr_t)q != old;
  free(behind);
  free(q);
  return moved;
}

/* realloc(NULL, n) allocates, realloc(p, 0) frees, free(NULL) does nothing. */
__attribute__((noinline)) static void realloc_edges(void) {
  char* p = realloc(NULL, 64);
  if (realloc(p, 0) != NULL) _exit(3);
  free(NULL);
}

__attribute__((noinline)) static void aligned(void) {
  void* a = NULL;
  if (posix_memalign(&a, 64, 100) != 0) _exit(3);
  void* b = aligned_alloc(128, 256);
  free(a);
  free(b);
}

__attribute__((noinline)) static void* leak_one(size_t n) { return malloc(n); }
__attribute__((noinline)) static void* leak_two(size_t n) { return calloc(1, n); }

__attribute__((noinline)) static void* thread_work(void* arg) {
  (void)arg;
  for (int i = 0; i < thread_pairs; ++i) {
    char* p = malloc(24);
    p[0] = 1;
    free(p);
  }
  return NULL;
}

__attribute__((noinline)) static void child_work(void) {
  void* blocks[child_allocs];
  for (int i = 0; i < child_allocs; ++i) blocks[i] = malloc(48);
  for (int i = 1; i < child_allocs; ++i) free(blocks[i]);
  keep = blocks[0];
}

/* Allocates and frees until killed, raising the marker signal once. */
__attribute__((noinline)) static void spin(void) {
  raise(SIGUSR2);
  for (unsigned long i = 0;; ++i) {
    char* p = malloc(16 + i % 512);
    p[0] = 1;
    free(p);
  }
}

int main(int argc, char** argv) {
  if (argc > 1 && strcmp(argv[1], "spin") == 0) spin();
  if (argc > 1 && strcmp(argv[1], "abort") == 0) {
    keep = leak_one(40);
    abort();
  }
  pairs();
  if (!realloc_in_place() || !realloc_moved()) return 3;
  realloc_edges();
  aligned();
  for (int i = 0; i < leak_one_count; ++i) keep = leak_one(40);
  for (int i = 0; i < leak_two_count; ++i) keep = leak_two(24);
  pthread_t threads[thread_count];
  for (int i = 0; i < thread_count; ++i) pthread_create(&threads[i], NULL, thread_work, NULL);
  for (int i = 0; i < thread_count; ++i) pthread_join(threads[i], NULL);
  const pid_t child = fork();
  if (child == 0) {
    child_work();
    exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  /* "exec" as first argument: the image is replaced by /bin/true, whose
   * trace goes beside this one. */
  if (argc > 1 && strcmp(argv[1], "exec") == 0) execl("/bin/true", "true", (char*)NULL);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 3;
}
