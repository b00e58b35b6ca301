#include "portable/RunPublisher.h"

#include "app/Mdialog.h"
#include "app/Program.h"
#include "platform/Clock.h"
#include "platform/Sockets.h"
#include "portable/Controller.h"

namespace portable {

int RunPublisher(ui::TToolkit& toolkit, platform::EventPoster& poster,
                 platform::SocketWatcher& watcher, platform::Sockets& sockets,
                 const Options& options, platform::Clock& clock, ControllerListeners listeners) {
  return jointcast::RunProgram(toolkit.Application(), [&] {
    auto dialog = std::make_unique<jointcast::TFMDialog>(jointcast::DialogEnvironment{
        toolkit, clock, sockets,
        [&] { return CreateController(options, poster, watcher, clock, listeners); }});
    if (options.destination) dialog->EAddress->SetText(*options.destination);
    dialog->ReadPeriod = options.periodMs;
    return dialog;
  });
}

}  // namespace portable
