#include "portable/Options.h"

#include <string>

#include "app/PollCycle.h"
#include "lib/proxy/ProxyCross.h"
#include "portable/CommandLine.h"

namespace portable {

Options ParseOptions(int argc, char** argv, const char* program) {
  Options options;
  const bool window = std::string(program) == "jointcast";
  CommandLine line(program,
                   std::string("Streams a robot arm's joint angles as UDP datagrams to port 4849 "
                               "of a receiver") +
                       (window ? ", showing them in a small window." : ", without a window."));
  std::string controller;
  line.Text("--controller", "HOST[:PORT]", controller,
            "read the controller through its TCP variable proxy (port 7000 by default); "
            "without it a simulated controller is read",
            [&options](const std::string& value) -> std::string {
              if (proxy::ParseHostPort(value, options.proxyHost, options.proxyPort)) return {};
              return "'" + value + "' is not HOST or HOST:PORT (port 1 to 65535)";
            });
  std::string to;
  line.Text("--to", "HOST", to,
            window ? "the receiver's host name or IPv4 address, as if typed into the window's "
                     "address field (default localhost)"
                   : "the receiver's host name or IPv4 address (default localhost)");
  line.Number("--period", "MS", 0u, jointcast::kMaxReadPeriod, options.periodMs,
              "milliseconds from one read of the controller to the next; 0 reads again as soon "
              "as a reading is sent");
  if (window) {
    line.Flag("--headless", options.headless,
              "no window: status and indicator changes go to stderr (the same as having no "
              "display; runs jointcastd)");
  }
  line.Parse(argc, argv);
  options.useProxy = !controller.empty();
  if (!to.empty()) options.destination = to;
  return options;
}

}  // namespace portable
