// C++ heap work with known counts: new and delete in their forms, and
// std::string, whose allocations happen inside the C++ runtime and must be
// attributed to the function that made the string.
#include <cstdio>
#include <new>
#include <string>

namespace {

struct node {
  long values[4];
};

constexpr int string_count = 20;
constexpr int node_pairs = 50;
constexpr int leaked_nodes = 2;

node* volatile keep;

__attribute__((noinline)) std::size_t make_strings() {
  std::size_t total = 0;
  for (int i = 0; i < string_count; ++i) {
    const std::string text(100 + static_cast<std::size_t>(i), 'x');
    total += text.size();
  }
  return total;
}

__attribute__((noinline)) void node_pairs_work() {
  for (int i = 0; i < node_pairs; ++i) {
    node* one = new node;
    node* many = new node[3];
    node* quiet = new (std::nothrow) node;
    delete one;
    delete[] many;
    delete quiet;
  }
}

__attribute__((noinline)) node* leak_node() { return new node; }

}  // namespace

int main() {
  const std::size_t total = make_strings();
  node_pairs_work();
  for (int i = 0; i < leaked_nodes; ++i) keep = leak_node();
  std::printf("%zu\n", total);
  return 0;
}
