// SPDX-License-Identifier: GPL-3.0-or-later
// The desktop's notices: the org.freedesktop.Notifications service on the session bus, through
// sd-bus. A notice carries actions (buttons) where the service shows them; a click on one comes
// back as ActionInvoked on the connection's descriptor.
#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace kestrova::ui::watch {

struct BusClose {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};

class Notifications {
 public:
  // An action's key and the label of its button.
  using Action = std::pair<std::string, std::string>;
  // A click: the notice's id and the action's key.
  using Invoked = std::pair<std::uint32_t, std::string>;

  // The session bus of DBUS_SESSION_BUS_ADDRESS (or the user's standard one); nothing without one.
  static std::unique_ptr<Notifications> Connect(std::string appName, std::string icon);

  // The descriptor and the events to wait for before Process.
  int Fd() const;
  short Events() const;

  // Whether the service shows actions (GetCapabilities names "actions"); false when none answers.
  bool ShowsActions() const;
  // Shows a notice, or replaces notice `replaces` (when not 0) with it. The actions go with it
  // only where the service shows them. Its id; 0 when no service took it.
  std::uint32_t Notify(std::uint32_t replaces, const std::string& summary, const std::string& body,
                       const std::vector<Action>& actions);
  void Close(std::uint32_t id);

  // Handles what came in, without waiting; appends the clicks. False once the bus is gone.
  bool Process(std::vector<Invoked>& invoked);

 private:
  explicit Notifications(sd_bus* bus) : bus_(bus) {}
  static int Signalled(sd_bus_message* message, void* self, sd_bus_error*);

  std::unique_ptr<sd_bus, BusClose> bus_;
  std::string appName_;
  std::string icon_;
  std::vector<Invoked> invoked_;
};

}  // namespace kestrova::ui::watch
