#include "portable/Options.h"

#include <cstdio>
#include <cstdlib>

#include "lib/proxy/ProxyCross.h"

namespace portable {
namespace {

constexpr const char* kUsage =
    "usage: %s [--controller HOST[:PORT]] [--to HOST] [--headless]\n"
    "Streams a robot arm's joint angles as UDP datagrams to port 4849 of a receiver.\n"
    "  --controller HOST[:PORT]  read the controller through its TCP variable proxy (port 7000\n"
    "                            by default); without it a simulated controller is read\n"
    "  --to HOST                 the receiver's host name or IPv4 address, as if typed into\n"
    "                            the window's address field (default localhost)\n"
    "  --headless                no window: status and indicator changes go to stderr (the\n"
    "                            same as having no display; runs jointcastd)\n"
    "  --help                    show this text\n";

[[noreturn]] void Usage(const char* program, int code) {
  std::fprintf(code == 0 ? stdout : stderr, kUsage, program);
  std::exit(code);
}

}  // namespace

Options ParseOptions(int argc, char** argv, const char* program) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") Usage(program, 0);
    if (arg == "--headless") {
      options.headless = true;
      continue;
    }
    std::string value;
    std::string name = arg;
    const std::size_t equals = arg.find('=');
    if (arg.rfind("--", 0) == 0 && equals != std::string::npos) {
      name = arg.substr(0, equals);
      value = arg.substr(equals + 1);
    } else if ((arg == "--controller" || arg == "--to") && i + 1 < argc) {
      value = argv[++i];
    } else {
      std::fprintf(stderr, "%s: unknown option or missing value '%s'\n", program, arg.c_str());
      Usage(program, 2);
    }
    if (name == "--controller") {
      if (!proxy::ParseHostPort(value, options.proxyHost, options.proxyPort)) {
        std::fprintf(stderr, "%s: '%s' is not HOST or HOST:PORT (port 1 to 65535)\n", program,
                     value.c_str());
        std::exit(2);
      }
      options.useProxy = true;
    } else if (name == "--to") {
      options.destination = value;
    } else {
      std::fprintf(stderr, "%s: unknown option '%s'\n", program, arg.c_str());
      Usage(program, 2);
    }
  }
  return options;
}

}  // namespace portable
