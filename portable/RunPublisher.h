#pragma once

#include "platform/Clock.h"
#include "platform/EventPoster.h"
#include "platform/SocketWatcher.h"
#include "platform/Sockets.h"
#include "portable/Controller.h"
#include "portable/Options.h"
#include "ui/Toolkit.h"

namespace portable {

// The publisher's whole run on a front-end: the window, its controller and the message loop,
// with --to applied as if typed into the address field before the window is shown; the
// datagrams go out through sockets (the receivers). Returns the program's exit code.
int RunPublisher(ui::TToolkit& toolkit, platform::EventPoster& poster,
                 platform::SocketWatcher& watcher, platform::Sockets& sockets,
                 const Options& options, platform::Clock& clock,
                 ControllerListeners listeners = {});

}  // namespace portable
