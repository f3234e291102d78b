#pragma once
// Messages plug-ins send through the message suite, recorded process-wide in arrival order.

#include <cstddef>
#include <string>
#include <vector>

#include "host/Namespace.h"

namespace kesto::host {

struct HostMessage {
  std::string type;  // "OfxMessageMessage", ...
  std::string id;    // empty for a null id
  std::string text;  // the formatted text
  const void *handle = nullptr;
};

// Every message since process start (index = arrival order).
std::vector<HostMessage> allMessages(std::size_t from = 0);
std::size_t messageCount();

}  // namespace kesto::host
