// The one place the server includes Boost.Asio, Boost.Beast and their TLS support, with the
// short names the rest of the server uses.
#ifndef NEXORAL_SERVER_NET_H
#define NEXORAL_SERVER_NET_H

// Boost 1.74's awaitable.hpp uses std::exchange without including <utility>.
#include <utility>

// With optimisation GCC 12 reports possible null dereferences inside Asio's inlined scheduler
// and possibly uninitialised optionals inside Beast's parser, both false; the checks stay on
// for the server's own code.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnull-dereference"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <boost/asio.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#pragma GCC diagnostic pop

namespace nexoral::server {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace ssl = boost::asio::ssl;
using tcp = boost::asio::ip::tcp;
using error_code = boost::system::error_code;

template <class T>
using Task = asio::awaitable<T>;

// Completion token that leaves failures in ec instead of throwing.
inline auto Capture(error_code& ec) { return asio::redirect_error(asio::use_awaitable, ec); }

}  // namespace nexoral::server

#endif  // NEXORAL_SERVER_NET_H
