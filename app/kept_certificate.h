// The certificate of `websrv --tls DIR`, kept between starts, so that the
// fingerprint people were told and the exception their browsers stored
// hold after a restart.
//
// The key (mode 0600) and the certificate live in the user's state folder,
// $XDG_STATE_HOME/websrv/ or ~/.local/state/websrv/ (made 0700). One there
// is used again while it is valid for more than a week and names every host
// name asked for; otherwise, or when a new one is asked for, a new one is
// made for a year, naming the host names and the addresses, and stored. A
// folder that cannot be written leaves a certificate made for this start
// only, in memory.
#pragma once

#include <string>
#include <vector>

#include "engine/tls_transport.h"

// The folder that keeps it; empty without $XDG_STATE_HOME and $HOME.
std::string certificate_folder();

// The certificate for `host_names` and `addresses` in `made`, from
// `folder` or made now (always made now with `renew`). `told` gets one
// line for the user: where it was kept, or why it is not. False when none
// could be made at all.
bool kept_certificate(const std::string& folder, const std::vector<std::string>& host_names,
                      const std::vector<std::string>& addresses, bool renew, made_certificate* made,
                      std::string* told);
