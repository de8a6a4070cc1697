// The C++ workload of bench/record: containers of strings and vectors
// built and torn down again and again, as a C++ service churns its heap.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

constexpr int default_rounds = 20;
constexpr int keys_per_round = 50000;

std::size_t one_round(int round) {
  std::unordered_map<std::string, std::vector<int>> index;
  std::map<int, std::string> names;
  for (int i = 0; i < keys_per_round; ++i) {
    std::string key = "key-" + std::to_string(i * 7 + round) + "-with-a-longer-tail";
    index[key].assign(static_cast<std::size_t>(i % 13 + 1), i);
    names.emplace(i, std::move(key));
  }
  std::size_t total = 0;
  for (auto it = names.begin(); it != names.end();) {
    total += index[it->second].size();
    if (it->first % 3 == 0) index.erase(it->second);
    it = names.erase(it);
  }
  return total + index.size();
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : default_rounds;
  std::size_t total = 0;
  for (int r = 0; r < rounds; ++r) total += one_round(r);
  std::printf("%zu\n", total);
  return 0;
}
