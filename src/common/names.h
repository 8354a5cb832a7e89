// Names of the server variables and headers that the notification handlers capture, read and
// set. One constant per name, shared by all handlers; header names that are set or added carry
// their colon.
#ifndef NEXORAL_COMMON_NAMES_H
#define NEXORAL_COMMON_NAMES_H

namespace nexoral::names {

// ---- Server variables and captured headers ----
inline constexpr const char kHttpUrl[] = "HTTP_URL";
inline constexpr const char kUrl[] = "URL";
inline constexpr const char kQueryString[] = "QUERY_STRING";
inline constexpr const char kRemoteAddr[] = "REMOTE_ADDR";
inline constexpr const char kLocalAddr[] = "LOCAL_ADDR";
inline constexpr const char kAuthType[] = "AUTH_TYPE";
inline constexpr const char kAuthUser[] = "AUTH_USER";
inline constexpr const char kLogonUser[] = "LOGON_USER";
inline constexpr const char kRemoteUser[] = "REMOTE_USER";
inline constexpr const char kHttpUserAgent[] = "HTTP_USER_AGENT";
inline constexpr const char kHttps[] = "HTTPS";
inline constexpr const char kHttpHost[] = "HTTP_HOST";
inline constexpr const char kZqRequest[] = "X-ZQRequest";
inline constexpr const char kHttpRemoteClientIp[] = "HTTP_X_Remote_Client_IP";
inline constexpr const char kHttpForwardedFor[] = "HTTP_X_Forwarded_For";
inline constexpr const char kHttpMethod[] = "HTTP_METHOD";
inline constexpr const char kHttpVersion[] = "HTTP_VERSION";
inline constexpr const char kHttpAcceptLanguage[] = "HTTP_ACCEPT-LANGUAGE";
inline constexpr const char kHttpFrontEndHttps[] = "HTTP_Front-End-HTTPS";
inline constexpr const char kZqHttp[] = "ZQHTTP";
inline constexpr const char kOwaProxySid[] = "X-OWA-ProxySid";
inline constexpr const char kZqCriteria[] = "ZQ_CRITERIA";
inline constexpr const char kHttpExplicitLogonUser[] = "HTTP_X_OWA_EXPLICITLOGONUSER";
inline constexpr const char kAllRaw[] = "ALL_RAW";
inline constexpr const char kAllHttp[] = "ALL_HTTP";
inline constexpr const char kRemoteHost[] = "REMOTE_HOST";
inline constexpr const char kServerPort[] = "SERVER_PORT";
inline constexpr const char kServerPortSecure[] = "SERVER_PORT_SECURE";
inline constexpr const char kHttpAuthorization[] = "HTTP_Authorization";
inline constexpr const char kHttpCookie[] = "HTTP_COOKIE";
inline constexpr const char kHttpZqTz[] = "HTTP_X_ZQTz";
inline constexpr const char kZqUserName[] = "ZQ_USERNAME";
inline constexpr const char kZqUserSid[] = "ZQ_USERSID";

// ---- Headers read, set or added (with their colon) ----
inline constexpr const char kZqCriteriaHeader[] = "ZQ_CRITERIA:";
inline constexpr const char kOwaProxySidHeader[] = "X-OWA-ProxySid:";
inline constexpr const char kRemoteClientIpHeader[] = "X-Remote-Client-IP:";
inline constexpr const char kCsmPrefixHeader[] = "ZQ_CsmPrefix:";
inline constexpr const char kZqTzHeader[] = "X-ZQTz:";
inline constexpr const char kContentLength[] = "Content-Length:";
inline constexpr const char kContentType[] = "Content-Type:";
inline constexpr const char kContentLanguage[] = "Content-Language:";
inline constexpr const char kTransferEncoding[] = "Transfer-Encoding:";
inline constexpr const char kLocation[] = "Location:";
inline constexpr const char kSetCookie[] = "Set-Cookie:";
inline constexpr const char kWwwAuthenticate[] = "WWW-Authenticate:";

}  // namespace nexoral::names

#endif  // NEXORAL_COMMON_NAMES_H
