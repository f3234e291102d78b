// The message suite: formats with vsnprintf and records {type, id, text, handle}, process-wide.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "Suites.h"
#include "host/Messages.h"

namespace kesto::host {

namespace {

std::mutex gMessagesMu;
std::vector<HostMessage> &messages() {
  static auto *gMessages = new std::vector<HostMessage>();  // outlives detached plug-in threads
  return *gMessages;
}

std::string format_text(const char *format, va_list ap) __attribute__((format(printf, 1, 0)));
std::string format_text(const char *format, va_list ap) {
  va_list copy;
  va_copy(copy, ap);
  const int needed = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (needed < 0) {
    return std::string();
  }
  std::vector<char> buffer(static_cast<std::size_t>(needed) + 1);
  std::vsnprintf(buffer.data(), buffer.size(), format, ap);
  return std::string(buffer.data(), static_cast<std::size_t>(needed));
}

OfxStatus message(void *handle, const char *messageType, const char *messageId, const char *format, ...)
    __attribute__((format(printf, 4, 5)));
OfxStatus message(void *handle, const char *messageType, const char *messageId, const char *format, ...) {
  if (messageType == nullptr || format == nullptr) {
    return kOfxStatErrValue;
  }
  va_list ap;
  va_start(ap, format);
  const OfxStatus status = detail::guarded([&] {
    HostMessage m;
    m.type = messageType;
    m.id = messageId == nullptr ? "" : messageId;
    m.text = format_text(format, ap);
    m.handle = handle;
    std::lock_guard<std::mutex> lock(gMessagesMu);
    messages().push_back(std::move(m));
    // A question needs an answer; this host always says yes.
    return std::strcmp(messageType, kOfxMessageQuestion) == 0 ? kOfxStatReplyYes : kOfxStatOK;
  });
  va_end(ap);
  return status;
}

const OfxMessageSuiteV1 kMessageSuite = {message};

}  // namespace

std::vector<HostMessage> allMessages(std::size_t from) {
  std::lock_guard<std::mutex> lock(gMessagesMu);
  if (from >= messages().size()) {
    return {};
  }
  return std::vector<HostMessage>(messages().begin() + static_cast<std::ptrdiff_t>(from), messages().end());
}

std::size_t messageCount() {
  std::lock_guard<std::mutex> lock(gMessagesMu);
  return messages().size();
}

namespace detail {
const OfxMessageSuiteV1 *messageSuite() { return &kMessageSuite; }
}  // namespace detail

}  // namespace kesto::host
