// Several processes that serve one port (workers=N): the parent forks them,
// serves nothing itself, and watches over them.
//
// The parent starts again a worker that ends, with the log line "worker PID
// ended (status S): started PID" (S: its exit status, or "signal N"), never
// sooner than a second after that worker began, so one that dies at once
// cannot spin. SIGTERM and SIGINT to the parent go to every worker; once
// they have ended (SIGKILL after five seconds) the parent exits with status
// 0. SIGUSR1 runs the parent's `on_reopen` (the log opened again by name),
// then goes to every worker.
#pragma once

// Forks `count` workers. Returns true in each worker, with the signal mask
// the caller had and SIGTERM to come when the parent ends; false in the
// parent when no worker could be started at all. Otherwise the parent never
// returns: it watches until SIGTERM or SIGINT and exits.
bool serve_as_workers(unsigned int count, void (*on_reopen)());

// True in the one process that tells the user the server has started: the
// only one, or the first worker at its first start.
bool announces_the_start();
