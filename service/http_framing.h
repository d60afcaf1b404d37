// HTTP/1.1 as the service's two listening addresses frame it: where a request read so far
// ends, and the short answers that close the connection. Both read many clients in one loop
// without blocking, so a request is framed from the bytes that came before anyone answers it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

// Where the bytes of a request stand: incomplete, complete (or more than may be waited for,
// which the answerer judges), or refused at once with an HTTP status.
struct RequestFraming
{
    bool complete = false;
    int refusal = 0;
};

// The head alone: complete at its blank line, or once `headLimit` bytes came without one.
// For answerers that take no body.
RequestFraming FrameHead(const std::string& bytes, std::size_t headLimit);

// The head and the body it announces, so that whoever answers is given the whole request and
// never waits for a client. A body needs exactly one Content-Length and no Transfer-Encoding
// (400; a POST without a length 411), since its end would otherwise be whenever the client
// pleases. A length over `bodyLimit` leaves the request complete, for the answerer to refuse
// from the head alone.
RequestFraming FrameRequest(const std::string& bytes, std::size_t headLimit, unsigned long long bodyLimit);

// The body length a Content-Length value announces, when it is a number within `limit`; none
// otherwise.
std::optional<unsigned long long> LengthWithin(const char* value, unsigned long long limit);

// "HTTP/1.1 <status>" with `status` ("429 Too Many Requests", extra header lines may follow
// it), the body's type and length, and Connection: close. Without the body when `withBody` is
// false, as a HEAD request is answered.
std::string ClosingAnswer(const std::string& status, const std::string& type, const std::string& body,
                          bool withBody = true);
