// Where the access policy (frame/policy.h) meets the links: the controller's
// requests and the local clients' requests are checked before anything is
// connected or sent; each refusal is logged at level 2, a fast repeating
// one summarised.
#pragma once

struct msg_header;

// A controller's TCP request or datagram, `h` its header. Device-request
// thread only.
bool controller_request_allowed(const msg_header *h);
// A local client's request `h` (a link, or a one-shot forward request) on
// the accepted socket `fd`. State-machine thread only.
bool client_request_allowed(int fd, const msg_header *h);
