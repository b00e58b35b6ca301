#include "portable/RunPublisher.h"

#include "app/Mdialog.h"
#include "app/Program.h"
#include "platform/Clock.h"
#include "platform/Sockets.h"
#include "portable/Controller.h"

namespace portable {

int RunPublisher(ui::TToolkit& toolkit, platform::EventPoster& poster,
                 platform::SocketWatcher& watcher, const Options& options, platform::Clock& clock,
                 ConnectListener onConnect) {
  return jointcast::RunProgram(toolkit.Application(), [&] {
    auto dialog = std::make_unique<jointcast::TFMDialog>(jointcast::DialogEnvironment{
        toolkit, clock, platform::SystemSockets(),
        [&] { return CreateController(options, poster, watcher, clock, onConnect); }});
    if (options.destination) dialog->EAddress->SetText(*options.destination);
    dialog->ReadPeriod = options.periodMs;
    return dialog;
  });
}

}  // namespace portable
