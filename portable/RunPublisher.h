#pragma once

#include "platform/EventPoster.h"
#include "platform/SocketWatcher.h"
#include "portable/Options.h"
#include "ui/Toolkit.h"

namespace portable {

// The publisher's whole run on a front-end: the window, its controller and the message loop,
// with --to applied as if typed into the address field before the window is shown.
int RunPublisher(ui::TToolkit& toolkit, platform::EventPoster& poster,
                 platform::SocketWatcher& watcher, const Options& options);

}  // namespace portable
