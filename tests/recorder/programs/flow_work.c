/* A program built with -finstrument-functions whose calls are known:
 * main -> outer -> inner (three times), outer -> shared, main -> shared.
 * shared allocates, so that its memory records carry its call arc. */
#include <stdlib.h>

static void* volatile keep;

__attribute__((noinline)) static void inner(int i) { keep = (void*)(long)i; }

__attribute__((noinline)) static void shared(void) {
  void* p = malloc(32);
  keep = p;
  free(p);
}

__attribute__((noinline)) static void outer(void) {
  for (int i = 0; i < 3; ++i) inner(i);
  shared();
}

int main(void) {
  outer();
  shared();
  return 0;
}
