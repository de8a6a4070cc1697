#pragma once

#include <filesystem>
#include <string>

namespace kivtest {

// A private PostgreSQL server for one test program: a fresh cluster in a
// scratch directory, reachable only through a Unix socket in that
// directory (no TCP). As the superuser the server runs as the "postgres"
// system user, which initdb requires. Started on the first call of
// pg_cluster::shared(), stopped when the program exits.
class pg_cluster {
 public:
  // The program's cluster; nullptr when none can run here, with the reason
  // in skip_reason().
  static pg_cluster* shared();
  static const std::string& skip_reason();

  ~pg_cluster();
  pg_cluster(const pg_cluster&) = delete;
  pg_cluster& operator=(const pg_cluster&) = delete;

  // Connection string of the cluster's "postgres" database.
  const std::string& conninfo() const { return conninfo_; }
  // A fresh, empty database in the cluster; its connection string.
  std::string new_database(const std::string& name);

 private:
  pg_cluster() = default;
  // Empty on success, else what failed.
  std::string start();
  std::string run(const std::string& command) const;

  std::filesystem::path dir_;
  std::filesystem::path bin_;
  std::string conninfo_;
  bool running_ = false;
};

}  // namespace kivtest
