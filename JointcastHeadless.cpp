// jointcastd: the publisher without a window, for servers and services. The same window
// behaviour and polling cycle run on components kept in memory; the status line and the
// indicators' colours go to stderr as they change. SIGINT and SIGTERM end it as closing the
// window does. Needs no GUI toolkit.
#include "portable/Options.h"
#include "portable/RunPublisher.h"
#include "ui/headless/HeadlessApplication.h"
#include "ui/headless/HeadlessToolkit.h"

int main(int argc, char** argv) {
  const portable::Options options = portable::ParseOptions(argc, argv, "jointcastd");
  ui::headless::HeadlessApplication application;
  ui::headless::HeadlessToolkit toolkit(application);
  return portable::RunPublisher(toolkit, application, application, options,
                                application.StoppableClock());
}
