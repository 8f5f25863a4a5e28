// Every status line text websrv answers with, in one table: a decision names
// its status by one of these, and the writing of the answer, the log and the
// tests read the same text. Each is one object, so two names of a status are
// the same pointer wherever they are compared.
#pragma once

inline constexpr char status_100[] = "100 Continue";
inline constexpr char status_200[] = "200 OK";
inline constexpr char status_201[] = "201 Created";
inline constexpr char status_204[] = "204 No Content";
inline constexpr char status_206[] = "206 Partial Content";
inline constexpr char status_207[] = "207 Multi-Status";
inline constexpr char status_302[] = "302 Found";
inline constexpr char status_303[] = "303 See Other";
inline constexpr char status_304[] = "304 Not Modified";
inline constexpr char status_400[] = "400 Bad Request";
inline constexpr char status_401[] = "401 Unauthorized";
inline constexpr char status_403[] = "403 Forbidden";
inline constexpr char status_404[] = "404 Not Found";
inline constexpr char status_405[] = "405 Method Not Allowed";
inline constexpr char status_409[] = "409 Conflict";
inline constexpr char status_411[] = "411 Length Required";
inline constexpr char status_412[] = "412 Precondition Failed";
inline constexpr char status_413[] = "413 Payload Too Large";
inline constexpr char status_415[] = "415 Unsupported Media Type";
inline constexpr char status_416[] = "416 Range Not Satisfiable";
inline constexpr char status_421[] = "421 Misdirected Request";
inline constexpr char status_423[] = "423 Locked";
inline constexpr char status_424[] = "424 Failed Dependency";
inline constexpr char status_429[] = "429 Too Many Requests";
inline constexpr char status_500[] = "500 Internal Server Error";
inline constexpr char status_502[] = "502 Bad Gateway";
inline constexpr char status_503[] = "503 Service Unavailable";
inline constexpr char status_507[] = "507 Insufficient Storage";
