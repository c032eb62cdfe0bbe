// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/watch/notifications.h"

#include <poll.h>

#include <iterator>
#include <string_view>

namespace kestrova::ui::watch {
namespace {

constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
constexpr const char* kInterface = "org.freedesktop.Notifications";

struct MessageUnref {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

struct Error {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  ~Error() { sd_bus_error_free(&error); }
};

}  // namespace

std::unique_ptr<Notifications> Notifications::Connect(std::string appName, std::string icon) {
  sd_bus* bus = nullptr;
  if (sd_bus_open_user(&bus) < 0) return nullptr;
  std::unique_ptr<Notifications> notifications(new Notifications(bus));
  notifications->appName_ = std::move(appName);
  notifications->icon_ = std::move(icon);
  // Any sender: the service may start, stop and start again under another unique name.
  if (sd_bus_match_signal(bus, nullptr, nullptr, kPath, kInterface, "ActionInvoked",
                          &Notifications::Signalled, notifications.get()) < 0 ||
      sd_bus_flush(bus) < 0) {
    return nullptr;
  }
  return notifications;
}

int Notifications::Fd() const { return sd_bus_get_fd(bus_.get()); }

short Notifications::Events() const {
  const int events = sd_bus_get_events(bus_.get());
  return static_cast<short>(events < 0 ? POLLIN : events);
}

bool Notifications::ShowsActions() const {
  Error error;
  sd_bus_message* reply = nullptr;
  if (sd_bus_call_method(bus_.get(), kService, kPath, kInterface, "GetCapabilities", &error.error,
                         &reply, "") < 0) {
    return false;
  }
  const Message owned(reply);
  bool actions = false;
  if (sd_bus_message_enter_container(reply, 'a', "s") < 0) return false;
  const char* capability = nullptr;
  while (sd_bus_message_read_basic(reply, 's', &capability) > 0) {
    actions = actions || std::string_view(capability) == "actions";
  }
  return actions;
}

std::uint32_t Notifications::Notify(std::uint32_t replaces, const std::string& summary,
                                    const std::string& body, const std::vector<Action>& actions) {
  sd_bus_message* call = nullptr;
  if (sd_bus_message_new_method_call(bus_.get(), &call, kService, kPath, kInterface, "Notify") <
      0) {
    return 0;
  }
  const Message ownedCall(call);
  const bool withActions = !actions.empty() && ShowsActions();
  bool built = sd_bus_message_append(call, "susss", appName_.c_str(), replaces, icon_.c_str(),
                                     summary.c_str(), body.c_str()) >= 0 &&
               sd_bus_message_open_container(call, 'a', "s") >= 0;
  for (const auto& [key, label] : actions) {
    if (withActions)
      built = built && sd_bus_message_append(call, "ss", key.c_str(), label.c_str()) >= 0;
  }
  // The desktop entry names the program that the notice comes from; -1: the server's own time.
  built = built && sd_bus_message_close_container(call) >= 0 &&
          sd_bus_message_append(call, "a{sv}i", 1, "desktop-entry", "s", icon_.c_str(), -1) >= 0;
  if (!built) return 0;
  Error error;
  sd_bus_message* reply = nullptr;
  if (sd_bus_call(bus_.get(), call, 0, &error.error, &reply) < 0) return 0;
  const Message ownedReply(reply);
  std::uint32_t id = 0;
  return sd_bus_message_read_basic(reply, 'u', &id) > 0 ? id : 0;
}

void Notifications::Close(std::uint32_t id) {
  if (id == 0) return;
  sd_bus_call_method_async(bus_.get(), nullptr, kService, kPath, kInterface, "CloseNotification",
                           nullptr, nullptr, "u", id);
  sd_bus_flush(bus_.get());
}

bool Notifications::Process(std::vector<Invoked>& invoked) {
  int result = 0;
  while ((result = sd_bus_process(bus_.get(), nullptr)) > 0) {
  }
  std::move(invoked_.begin(), invoked_.end(), std::back_inserter(invoked));
  invoked_.clear();
  return result >= 0;
}

int Notifications::Signalled(sd_bus_message* message, void* self, sd_bus_error*) {
  std::uint32_t id = 0;
  const char* key = nullptr;
  if (sd_bus_message_read(message, "us", &id, &key) > 0) {
    static_cast<Notifications*>(self)->invoked_.emplace_back(id, key);
  }
  return 0;
}

}  // namespace kestrova::ui::watch
