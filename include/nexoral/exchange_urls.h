// ExchangeURLs: the base URLs of the web-mail front end as seen from inside (the server's own
// address) and from outside (the host the client used), built once per request by the module.
// Read-only for workers.
#ifndef NEXORAL_EXCHANGE_URLS_H
#define NEXORAL_EXCHANGE_URLS_H

#include <string>

struct ExchangeURLs {
  std::string VirtualDirectory;    // virtual directory of the URL (plus "/" and the mailbox of an
                                   // explicit logon)
  std::string InternalURL;         // "http[s]://<local address>:<port>"
  std::string ExternalURL;         // "http[s]://<host>"
  std::string InternalBaseURL;     // VirtualDirectory + "/", or InternalURL
  std::string ExternalBaseURL;     // VirtualDirectory + "/", or ExternalURL
  std::string InternalScriptsURL;  // InternalURL + "/Scripts/"
  std::string ExternalScriptsURL;  // ExternalURL + "/Scripts/"
};

#endif  // NEXORAL_EXCHANGE_URLS_H
