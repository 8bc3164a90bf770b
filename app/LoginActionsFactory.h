#pragma once

#include "host/DesktopHost.h"
#include "app/DesktopSignIn.h"

namespace korvid {

// The host's sign-in controller factory: a new browser on a new ephemeral
// session; prepare answers the host's origin, verify asks the host, and a
// verified session hands the browser's store and the session to the host.
// (Kept beside the shell so the host does not depend on the sign-in views.)
LoginController makeLoginActions(DesktopHost& host, MainTimers& timers, std::filesystem::path resources);

}
