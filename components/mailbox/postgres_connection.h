// PgConnection: one libpq connection whose every operation ends by a deadline. Connecting and
// each statement run on a non-blocking socket polled until the deadline; a statement that has
// not answered by then breaks the connection (the server ends the statement when it notices,
// and its statement_timeout, set to the same limit, ends it in any case). Also the binary
// parameter forms the store sends, so that values travel byte for byte.
//
// A connection serves one thread at a time. Its failures are kAccessErrorStoreUnavailable (the
// connection could not be made, broke or ran out of time: it is unusable afterwards) or
// kAccessErrorStoreRefused (the server refused the statement: the connection stays usable).
#ifndef NEXORAL_COMPONENTS_MAILBOX_POSTGRES_CONNECTION_H
#define NEXORAL_COMPONENTS_MAILBOX_POSTGRES_CONNECTION_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "property_store.h"

struct pg_conn;
struct pg_result;

namespace nexoral::mailbox {

using Clock = std::chrono::steady_clock;

// Type ids of the parameters sent.
inline constexpr unsigned kOidBytea = 17;
inline constexpr unsigned kOidText = 25;
inline constexpr unsigned kOidInt4Array = 1007;
inline constexpr unsigned kOidTextArray = 1009;
inline constexpr unsigned kOidByteaArray = 1001;

// One parameter: its bytes, its type and whether the bytes are the binary form.
struct PgParameter {
  std::string bytes;
  unsigned type = kOidText;
  bool binary = false;
};

// The binary forms of one-dimensional arrays (elements never null).
std::string BinaryInt4Array(const std::vector<int32_t>& elements);
std::string BinaryBytesArray(unsigned elementType, const std::vector<std::string_view>& elements);
// A big-endian integer of the binary result form; 0 when the field is not that long.
int64_t ReadBigEndian(const char* bytes, size_t length);

struct PgResultDeleter {
  void operator()(pg_result* result) const;
};
using PgResult = std::unique_ptr<pg_result, PgResultDeleter>;

class PgConnection {
 public:
  // Connects to the database the URI names, with the password (none when empty), the server's
  // statement_timeout set to limit. Null with *error when that fails or has not finished by
  // the deadline.
  static std::unique_ptr<PgConnection> Connect(const std::string& uri, const std::string& password,
                                               std::chrono::milliseconds limit,
                                               Clock::time_point deadline, StoreError* error);
  ~PgConnection();
  PgConnection(const PgConnection&) = delete;
  PgConnection& operator=(const PgConnection&) = delete;

  // Runs one statement (several, without parameters) and returns its last result, in binary form
  // when binaryResult. Null with *error on failure.
  PgResult Execute(const char* sql, const std::vector<PgParameter>& parameters, bool binaryResult,
                   Clock::time_point deadline, StoreError* error);
  // False once the connection broke or ran out of time.
  bool Usable() const;
  int Socket() const;
  pg_conn* Handle() { return conn_; }
  // Where the connection goes, for texts: "host:port/database as user", never the password.
  const std::string& Description() const { return description_; }
  // Marks the connection broken; the failure names what broke and libpq's reason.
  StoreError Lost(std::string_view what);

 private:
  PgConnection(pg_conn* conn, std::string description)
      : conn_(conn), description_(std::move(description)) {}
  bool Send(const char* sql, const std::vector<PgParameter>& parameters, bool binaryResult,
            Clock::time_point deadline, StoreError* error);

  pg_conn* conn_;
  std::string description_;
  bool broken_ = false;
};

// "host:port/database as user" of a connection URI, never its password; "the database" when
// the URI cannot be read.
std::string DescribeLocation(const std::string& uri);

}  // namespace nexoral::mailbox

#endif  // NEXORAL_COMPONENTS_MAILBOX_POSTGRES_CONNECTION_H
