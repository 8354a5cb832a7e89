// A libpq connection on a non-blocking socket, bounded by a deadline per operation.
#include "postgres_connection.h"

#include <libpq-fe.h>
#include <poll.h>

#include <cerrno>
#include <utility>

#include "exchange_access_interface.h"

namespace nexoral::mailbox {
namespace {

void AppendBigEndian(std::string& out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

// The array's header: one dimension of count elements from 1, or no dimension when empty.
std::string ArrayHeader(unsigned elementType, size_t count) {
  std::string out;
  AppendBigEndian(out, count == 0 ? 0 : 1);
  AppendBigEndian(out, 0);  // no nulls
  AppendBigEndian(out, elementType);
  if (count > 0) {
    AppendBigEndian(out, static_cast<uint32_t>(count));
    AppendBigEndian(out, 1);
  }
  return out;
}

// The server's message without its line breaks.
std::string OneLine(const char* message) {
  std::string text = message != nullptr ? message : "";
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  for (char& c : text) {
    if (c == '\n') c = ' ';
  }
  return text;
}

// Waits for the socket to be ready for events; its revents, 0 at the deadline, -1 on error.
int WaitSocket(int socket, short events, Clock::time_point deadline) {
  if (socket < 0) return -1;
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return 0;
    pollfd entry{socket, events, 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(left));
    if (ready > 0) return entry.revents;
    if (ready < 0 && errno != EINTR) return -1;
  }
}

}  // namespace

std::string BinaryInt4Array(const std::vector<int32_t>& elements) {
  std::string out = ArrayHeader(23 /* int4 */, elements.size());
  for (int32_t element : elements) {
    AppendBigEndian(out, 4);
    AppendBigEndian(out, static_cast<uint32_t>(element));
  }
  return out;
}

std::string BinaryBytesArray(unsigned elementType, const std::vector<std::string_view>& elements) {
  std::string out = ArrayHeader(elementType, elements.size());
  for (std::string_view element : elements) {
    AppendBigEndian(out, static_cast<uint32_t>(element.size()));
    out.append(element);
  }
  return out;
}

int64_t ReadBigEndian(const char* bytes, size_t length) {
  if (bytes == nullptr || (length != 4 && length != 8)) return 0;
  uint64_t value = 0;
  for (size_t index = 0; index < length; ++index) value = (value << 8) | static_cast<unsigned char>(bytes[index]);
  return length == 4 ? static_cast<int32_t>(value) : static_cast<int64_t>(value);
}

void PgResultDeleter::operator()(pg_result* result) const { PQclear(result); }

namespace {

// The connection parameters the URI sets (keyword, value); empty when it cannot be read.
std::vector<std::pair<std::string, std::string>> UriParameters(const std::string& uri) {
  char* failure = nullptr;
  PQconninfoOption* options = PQconninfoParse(uri.c_str(), &failure);
  if (failure != nullptr) PQfreemem(failure);
  std::vector<std::pair<std::string, std::string>> parameters;
  for (PQconninfoOption* option = options; option != nullptr && option->keyword != nullptr; ++option) {
    if (option->val != nullptr) parameters.emplace_back(option->keyword, option->val);
  }
  PQconninfoFree(options);
  return parameters;
}

}  // namespace

std::string DescribeLocation(const std::string& uri) {
  std::string host, port, database, user;
  for (const auto& [keyword, value] : UriParameters(uri)) {
    if (keyword == "host" || (keyword == "hostaddr" && host.empty())) host = value;
    if (keyword == "port") port = value;
    if (keyword == "dbname") database = value;
    if (keyword == "user") user = value;
  }
  if (database.empty() && host.empty()) return "the database";
  std::string text = (host.empty() ? "localhost" : host) + (port.empty() ? "" : ":" + port) + "/" + database;
  if (!user.empty()) text += " as " + user;
  return text;
}

std::unique_ptr<PgConnection> PgConnection::Connect(const std::string& uri, const std::string& password,
                                                    std::chrono::milliseconds limit,
                                                    Clock::time_point deadline, StoreError* error) {
  // The server's own limit joins the options the URI gives, if any.
  std::string options;
  for (const auto& [keyword, value] : UriParameters(uri)) {
    if (keyword == "options") options = value + " ";
  }
  options += "-c statement_timeout=" + std::to_string(limit.count());
  // Later keywords win over what the URI says; an empty value means "not given".
  const char* keywords[] = {"dbname", "password", "options", "application_name", "client_encoding",
                            "keepalives", "keepalives_idle", "keepalives_interval", "keepalives_count",
                            nullptr};
  const char* values[] = {uri.c_str(), password.c_str(), options.c_str(), "nexoral", "UTF8",
                          "1", "10", "5", "3", nullptr};
  std::unique_ptr<PgConnection> connection(
      new PgConnection(PQconnectStartParams(keywords, values, 1), DescribeLocation(uri)));
  if (connection->conn_ == nullptr) {
    *error = {kAccessErrorStoreUnavailable, "cannot connect to the PostgreSQL store: out of memory"};
    return nullptr;
  }
  PostgresPollingStatusType state = PGRES_POLLING_WRITING;
  while (PQstatus(connection->conn_) != CONNECTION_BAD && state != PGRES_POLLING_OK &&
         state != PGRES_POLLING_FAILED) {
    const int ready = WaitSocket(PQsocket(connection->conn_),
                                 state == PGRES_POLLING_WRITING ? POLLOUT : POLLIN, deadline);
    if (ready == 0) {
      *error = {kAccessErrorStoreUnavailable, "cannot connect to the PostgreSQL store " +
                                                  connection->description_ + ": no answer within " +
                                                  std::to_string(limit.count()) + " ms"};
      return nullptr;
    }
    state = PQconnectPoll(connection->conn_);
  }
  if (state != PGRES_POLLING_OK || PQsetnonblocking(connection->conn_, 1) != 0) {
    *error = connection->Lost("connecting");
    return nullptr;
  }
  return connection;
}

PgConnection::~PgConnection() { PQfinish(conn_); }

bool PgConnection::Usable() const { return !broken_ && PQstatus(conn_) == CONNECTION_OK; }

int PgConnection::Socket() const { return PQsocket(conn_); }

StoreError PgConnection::Lost(std::string_view what) {
  broken_ = true;
  return {kAccessErrorStoreUnavailable, "the PostgreSQL store " + description_ + " failed " + std::string(what) +
                                            ": " + OneLine(PQerrorMessage(conn_))};
}

bool PgConnection::Send(const char* sql, const std::vector<PgParameter>& parameters, bool binaryResult,
                        Clock::time_point deadline, StoreError* error) {
  std::vector<const char*> values;
  std::vector<int> lengths, formats;
  std::vector<unsigned> types;
  for (const PgParameter& parameter : parameters) {
    values.push_back(parameter.bytes.data());
    lengths.push_back(static_cast<int>(parameter.bytes.size()));
    formats.push_back(parameter.binary ? 1 : 0);
    types.push_back(parameter.type);
  }
  const int sent = parameters.empty() && !binaryResult
                       ? PQsendQuery(conn_, sql)
                       : PQsendQueryParams(conn_, sql, static_cast<int>(parameters.size()), types.data(),
                                           values.data(), lengths.data(), formats.data(), binaryResult ? 1 : 0);
  if (sent == 0) {
    *error = Lost("sending");
    return false;
  }
  for (int flushed = PQflush(conn_); flushed != 0; flushed = PQflush(conn_)) {
    const int ready = flushed < 0 ? -1 : WaitSocket(Socket(), POLLIN | POLLOUT, deadline);
    if (ready == 0) {
      broken_ = true;
      *error = {kAccessErrorStoreUnavailable, "the PostgreSQL store " + description_ + " did not take the call in time"};
      return false;
    }
    if (ready < 0 || ((ready & POLLIN) != 0 && PQconsumeInput(conn_) == 0)) {
      *error = Lost("sending");
      return false;
    }
  }
  return true;
}

PgResult PgConnection::Execute(const char* sql, const std::vector<PgParameter>& parameters, bool binaryResult,
                               Clock::time_point deadline, StoreError* error) {
  if (!Usable()) {
    *error = Lost("before the call");
    return nullptr;
  }
  if (!Send(sql, parameters, binaryResult, deadline, error)) return nullptr;
  PgResult last;
  bool refused = false;
  for (;;) {
    while (PQisBusy(conn_) != 0) {
      const int ready = WaitSocket(Socket(), POLLIN, deadline);
      if (ready == 0) {
        broken_ = true;
        *error = {kAccessErrorStoreUnavailable, "the PostgreSQL store " + description_ + " did not answer in time"};
        return nullptr;
      }
      if (ready < 0 || PQconsumeInput(conn_) == 0) {
        *error = Lost("reading the answer");
        return nullptr;
      }
    }
    PgResult result(PQgetResult(conn_));
    if (result == nullptr) break;
    const ExecStatusType status = PQresultStatus(result.get());
    if (refused) continue;  // the rest of the answer is read and dropped
    if (status == PGRES_TUPLES_OK || status == PGRES_COMMAND_OK) {
      last = std::move(result);
      continue;
    }
    refused = true;
    const char* state = PQresultErrorField(result.get(), 'C' /* PG_DIAG_SQLSTATE */);
    *error = {kAccessErrorStoreRefused, "the PostgreSQL store " + description_ + " refused the call: " +
                                            (state != nullptr ? std::string(state) + " " : "") +
                                            OneLine(PQresultErrorMessage(result.get()))};
  }
  if (PQstatus(conn_) != CONNECTION_OK) {
    *error = Lost("during the call");
    return nullptr;
  }
  return refused ? nullptr : std::move(last);
}

}  // namespace nexoral::mailbox
