// The decision for one request: from a request head and the connection's
// login state to what is answered.
//
// respond() takes the head apart, checks the login, and hands the request to
// the unit of its method (app/decide/): files and listings, uploads. What it
// reads of the process comes through the decision context (the site policy,
// the shared services, the clock). The node that owns the connection keeps
// its `login_state` and calls respond() for each request head of a group, in
// order, then write_answer() (app/answer.h) for each answer that is not
// `close`. Nothing here touches a socket or the log: an answer says which
// line the node is to log with it.
#pragma once

#include "app/answer.h"
#include "app/decide/auth.h"
#include "app/decide/context.h"
#include "app/decide/upload.h"

// Answers the request head that begins at `begin` in a group that ends at
// `end`; `*next` is then where the next head begins. Updates `login`.
answer respond(const decision_context& context, login_state* login, char* begin, char* end,
               char** next);
