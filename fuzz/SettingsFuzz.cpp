// libFuzzer target: the settings people write by hand. A receiver list that parses must print
// back as a list that parses to the same receivers, each with a host and a port from 1 to 65535;
// a names file of any bytes must load or be refused, and every name it keeps must be a usable
// topic level.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "portable/ReceiverList.h"
#include "tools/listen/SenderNames.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto list = portable::ParseReceivers(text);
  if (list) {
    if (list->empty()) std::abort();
    for (const portable::ReceiverAddress& receiver : *list) {
      if (receiver.host.empty() || receiver.port == 0) std::abort();
    }
    auto again = portable::ParseReceivers(portable::ReceiversText(*list));
    if (!again || portable::ReceiversText(*again) != portable::ReceiversText(*list)) std::abort();
  } else if (list.Reason().empty()) {
    std::abort();
  }

  static const std::string path = [] {
    char name[] = "/tmp/settings-fuzz-XXXXXX";
    const int fd = mkstemp(name);
    if (fd >= 0) close(fd);
    return std::string(name);
  }();
  if (std::FILE* file = std::fopen(path.c_str(), "wb")) {
    std::fwrite(data, 1, size, file);
    std::fclose(file);
  }
  receiver::SenderNames names;
  std::string error;
  std::vector<std::string> problems;
  if (names.Load(path, error, problems)) {
    for (const auto& [sender, name] : names.All()) {
      if (name.empty() || name.size() > receiver::SenderNames::kMaxName) std::abort();
      if (name.find_first_of("/+# \t\r\n") != std::string::npos) std::abort();
      if (names.NameOf(sender) != name) std::abort();
    }
  }
  return 0;
}
