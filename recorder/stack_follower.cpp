#include "recorder/stack_follower.h"

#include <filesystem>

namespace kivrec {

namespace {

namespace fs = std::filesystem;

object_file file_of(const recorded_object& object) { return {object.path, object.build_id, object.load_bias}; }

}  // namespace

bool stack_follower::read_more(const std::string& path, followed& file) {
  std::error_code ec;
  const std::uintmax_t size = fs::file_size(path, ec);
  if (ec || size <= file.offset) return false;
  std::string bytes = std::move(file.pending);
  file.pending.clear();
  const std::size_t before = bytes.size();
  if (!read_file_from(path, file.offset, bytes) || bytes.size() == before) {
    file.pending = std::move(bytes);
    return false;
  }
  file.offset += bytes.size() - before;
  std::size_t taken = 0;
  std::string error;
  if (!file.parser.feed(bytes, &taken, &error)) {
    file.failed = true;  // naming at the end reports it
    return true;
  }
  file.pending = bytes.substr(taken);
  return true;
}

// Opens the objects that appeared and names the addresses of the stacks
// that were added, each address once per generation.
void stack_follower::name_new(followed& file) {
  const stack_file_contents& contents = file.parser.contents();
  for (; file.objects_seen < contents.objects.size(); ++file.objects_seen) {
    const recorded_object& object = contents.objects[file.objects_seen];
    if (object.loaded) namer_.open(file_of(object));
  }
  for (; file.stacks_seen < contents.stacks.size(); ++file.stacks_seen) {
    const recorded_stack& stack = contents.stacks[file.stacks_seen];
    auto& named = file.named[stack.generation];
    for (const std::uint64_t address : stack.frames) {
      if (!named.insert(address).second) continue;
      const recorded_object* object = contents.object_at(address, stack.generation);
      if (object == nullptr) {
        namer_.frames(nullptr, address);
      } else {
        const object_file of = file_of(*object);
        namer_.frames(&of, address);
      }
      ++named_;
    }
  }
}

stack_follower::stack_follower(std::string run_dir, stack_namer& namer)
    : run_dir_(std::move(run_dir)), namer_(namer) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(run_dir_, ec))
    if (entry.path().string().ends_with(stack_format::suffix)) earlier_.insert(entry.path().string());
}

void stack_follower::list_directory() {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(run_dir_, ec)) {
    const std::string path = entry.path().string();
    if (path.ends_with(stack_format::suffix) && !earlier_.contains(path)) files_.try_emplace(path, path);
  }
}

bool stack_follower::step() {
  if (steps_++ % listing_interval == 0) list_directory();
  bool news = false;
  for (auto& [path, file] : files_) {
    if (file.failed || !read_more(path, file)) continue;
    news = true;
    name_new(file);
  }
  return news;
}

}  // namespace kivrec
