/* The C workload of bench/stacks: a "parser" whose allocations sit in
 * small static functions that the compiler inlines into each other
 * (dup_name into remember into parse_line into main), built with -O2 -g.
 * It reads N synthetic lines, keeps a name of every 1000th one (the
 * leaks) and frees the rest, with a few short-lived buffers per line. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { kept_every = 1000, line_bytes = 48 };

static char* dup_name(const char* s, size_t n) {
  char* p = malloc(n + 1);
  if (p != NULL) {
    memcpy(p, s, n);
    p[n] = '\0';
  }
  return p;
}

static char* remember(const char* s, size_t n) { return dup_name(s, n); }

static char* parse_line(const char* line) {
  const char* name = strchr(line, '=');
  return name == NULL ? NULL : remember(name + 1, strlen(name + 1));
}

static char** grow(char** list, size_t* capacity) {
  *capacity = *capacity == 0 ? 16 : *capacity * 2;
  return realloc(list, *capacity * sizeof *list);
}

int main(int argc, char** argv) {
  const long lines = argc > 1 ? atol(argv[1]) : 1000000;
  char** kept = NULL;
  size_t count = 0, capacity = 0;
  char line[line_bytes];
  for (long i = 0; i < lines; ++i) {
    snprintf(line, sizeof line, "key%ld=value-%ld", i, i * 7);
    char* name = parse_line(line);
    char* scratch = malloc(strlen(line) * 2 + 1);
    if (name == NULL || scratch == NULL) return 3;
    strcpy(scratch, line);
    if (i % kept_every == 0) {
      if (count == capacity) kept = grow(kept, &capacity);
      kept[count++] = name; /* leaked: never freed */
    } else {
      free(name);
    }
    free(scratch);
  }
  printf("%zu names kept\n", count);
  return 0;
}
