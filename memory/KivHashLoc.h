#pragma once

#include <cstdint>
#include <map>
#include <unordered_map>
#include <memory>
#include <ostream>
#include <string>

#include "reader/KivEvent.h"

class out_stream;

// A source location: the key that memory records carry and its text.
class KivHashLoc : public KivEvent {
 public:
  explicit KivHashLoc(kiv_reader* reader) : KivEvent(kiv_e_hashloc, reader) {}
  // An entry built without a record (the table's "unknown" entry).
  KivHashLoc(std::int64_t key, std::string text)
      : KivEvent(kiv_e_hashloc, nullptr), location(key), source_line(std::move(text)) {}
  void setelems() override;
  void traceevent(std::ostream& os) override;
  // One "hashloc" row without its line end.
  void dumpinfo(out_stream& os) const;

  std::int64_t location = 0;
  std::string source_line;
};

out_stream& operator<<(out_stream& os, const KivHashLoc& loc);

// Every source location of one run, by key. Entries are kept until the run
// ends: a location is described only once, the first time it is used.
class KivHashLoc_db {
 public:
  static constexpr const char* unknown_text = "unknown MalSrc location";

  KivHashLoc_db();
  ~KivHashLoc_db();
  KivHashLoc_db(const KivHashLoc_db&) = delete;
  KivHashLoc_db& operator=(const KivHashLoc_db&) = delete;

  // Takes the record over; a key already present keeps its first text and
  // the new record is released.
  void add_hashloc(std::unique_ptr<KivHashLoc> loc);
  // The text for key, or the unknown entry's text.
  const std::string& get_hashloc(std::int64_t key) const;
  // One row per entry in ascending (signed) key order.
  void dump_db(out_stream& os) const;
  std::size_t size() const { return locs_.size(); }

 private:
  std::map<std::int64_t, std::unique_ptr<KivHashLoc>> locs_;
  // Every memory record resolves its location: a hashed index of the texts
  // (entries are never replaced, so the pointers stay valid).
  std::unordered_map<std::int64_t, const std::string*> texts_;
  std::unique_ptr<KivHashLoc> unknown_;
};
