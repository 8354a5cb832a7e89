// A PostgreSQL server of the test's own (demo/pg-cluster.sh): a fresh cluster in a temporary
// folder, listening on a free loopback port, run by an unprivileged user; stopped and removed
// when the object goes.
#ifndef NEXORAL_TESTS_HARNESS_POSTGRES_CLUSTER_H
#define NEXORAL_TESTS_HARNESS_POSTGRES_CLUSTER_H

#include <string>

#include "harness/scoped_environment.h"
#include "harness/temp_folder.h"

namespace nexoral::testing {

class PostgresCluster {
 public:
  PostgresCluster();  // starts it; Uri() is empty when it could not
  ~PostgresCluster() { Stop(); }

  bool Start();
  bool Stop();
  // The connection URI (no password in it) and the password file.
  const std::string& Uri() const { return uri_; }
  std::string PasswordFile() const { return folder_.Join("cluster/password"); }
  // Runs statements as the superuser; psql's unaligned output, or "failed".
  std::string Sql(const std::string& statements) const;

 private:
  TempFolder folder_;
  int port_ = 0;
  std::string uri_;
  bool running_ = false;
};

// The environment that points the mailbox component of this process (and the servers it
// starts) at the cluster, with the time limit given.
struct PostgresStoreEnvironment {
  PostgresStoreEnvironment(const PostgresCluster& cluster, const std::string& limitMs)
      : store{"NEXORAL_MAILBOX_STORE", cluster.Uri()},
        password{"NEXORAL_MAILBOX_STORE_PASSWORD_FILE", cluster.PasswordFile()},
        limit{"NEXORAL_MAILBOX_STORE_TIMEOUT_MS", limitMs} {}
  ScopedEnvironment store, password, limit;
};

}  // namespace nexoral::testing

#endif  // NEXORAL_TESTS_HARNESS_POSTGRES_CLUSTER_H
