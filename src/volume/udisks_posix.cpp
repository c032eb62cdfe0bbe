// SPDX-License-Identifier: GPL-3.0-or-later
// The UDisks2 client, through sd-bus. Every call opens its own connection to the system bus (the
// address in DBUS_SYSTEM_BUS_ADDRESS, or the standard one), reads the daemon's objects once, and
// closes the connection again; nothing is kept between calls.
#include <dlfcn.h>
#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string_view>

#include "volume/drive_watch.h"
#include "volume/udisks_posix.h"

namespace kestrova::volume::udisks {
namespace {

constexpr const char* kService = "org.freedesktop.UDisks2";
constexpr const char* kManagerPath = "/org/freedesktop/UDisks2";
constexpr const char* kBlock = "org.freedesktop.UDisks2.Block";
constexpr const char* kDrive = "org.freedesktop.UDisks2.Drive";
constexpr const char* kFilesystem = "org.freedesktop.UDisks2.Filesystem";
constexpr const char* kLoop = "org.freedesktop.UDisks2.Loop";
constexpr const char* kPartition = "org.freedesktop.UDisks2.Partition";
// NotAuthorized, NotAuthorizedCanObtain and NotAuthorizedDismissed.
constexpr std::string_view kNotAuthorized = "org.freedesktop.UDisks2.Error.NotAuthorized";
// A call that polkit answers with a password prompt waits for the user.
constexpr std::uint64_t kInteractiveTimeoutUs = 5ull * 60 * 1000 * 1000;

// libsystemd is loaded the first time the bus is wanted, not when the program starts: most runs
// (an image file, the help) never talk to the bus, and loading it and the libraries it needs
// costs about a millisecond at every start. Without it, UDisks2 counts as absent.
struct SdBus {
  decltype(&::sd_bus_call) call = nullptr;
  decltype(&::sd_bus_call_method) call_method = nullptr;
  decltype(&::sd_bus_add_match) add_match = nullptr;
  decltype(&::sd_bus_error_free) error_free = nullptr;
  decltype(&::sd_bus_flush_close_unref) flush_close_unref = nullptr;
  decltype(&::sd_bus_get_fd) get_fd = nullptr;
  decltype(&::sd_bus_match_signal) match_signal = nullptr;
  decltype(&::sd_bus_message_append) message_append = nullptr;
  decltype(&::sd_bus_message_at_end) message_at_end = nullptr;
  decltype(&::sd_bus_message_enter_container) message_enter_container = nullptr;
  decltype(&::sd_bus_message_exit_container) message_exit_container = nullptr;
  decltype(&::sd_bus_message_new_method_call) message_new_method_call = nullptr;
  decltype(&::sd_bus_message_peek_type) message_peek_type = nullptr;
  decltype(&::sd_bus_message_read_array) message_read_array = nullptr;
  decltype(&::sd_bus_message_read_basic) message_read_basic = nullptr;
  decltype(&::sd_bus_message_skip) message_skip = nullptr;
  decltype(&::sd_bus_message_unref) message_unref = nullptr;
  decltype(&::sd_bus_open_system) open_system = nullptr;
  decltype(&::sd_bus_process) process = nullptr;
  decltype(&::sd_bus_set_allow_interactive_authorization) set_allow_interactive_authorization =
      nullptr;
};

template <typename Function>
bool Load(void* handle, const char* name, Function& function) {
  function = reinterpret_cast<Function>(::dlsym(handle, name));
  return function != nullptr;
}

const SdBus* Library() {
  static const SdBus* const loaded = []() -> const SdBus* {
    void* handle = ::dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL);
    if (!handle) return nullptr;
    static SdBus library;
    bool ok = true;
    ok = Load(handle, "sd_bus_call", library.call) && ok;
    ok = Load(handle, "sd_bus_call_method", library.call_method) && ok;
    ok = Load(handle, "sd_bus_add_match", library.add_match) && ok;
    ok = Load(handle, "sd_bus_error_free", library.error_free) && ok;
    ok = Load(handle, "sd_bus_flush_close_unref", library.flush_close_unref) && ok;
    ok = Load(handle, "sd_bus_get_fd", library.get_fd) && ok;
    ok = Load(handle, "sd_bus_match_signal", library.match_signal) && ok;
    ok = Load(handle, "sd_bus_message_append", library.message_append) && ok;
    ok = Load(handle, "sd_bus_message_at_end", library.message_at_end) && ok;
    ok = Load(handle, "sd_bus_message_enter_container", library.message_enter_container) && ok;
    ok = Load(handle, "sd_bus_message_exit_container", library.message_exit_container) && ok;
    ok = Load(handle, "sd_bus_message_new_method_call", library.message_new_method_call) && ok;
    ok = Load(handle, "sd_bus_message_peek_type", library.message_peek_type) && ok;
    ok = Load(handle, "sd_bus_message_read_array", library.message_read_array) && ok;
    ok = Load(handle, "sd_bus_message_read_basic", library.message_read_basic) && ok;
    ok = Load(handle, "sd_bus_message_skip", library.message_skip) && ok;
    ok = Load(handle, "sd_bus_message_unref", library.message_unref) && ok;
    ok = Load(handle, "sd_bus_open_system", library.open_system) && ok;
    ok = Load(handle, "sd_bus_process", library.process) && ok;
    ok = Load(handle, "sd_bus_set_allow_interactive_authorization",
              library.set_allow_interactive_authorization) &&
         ok;
    return ok ? &library : nullptr;
  }();
  return loaded;
}

// The library, once Connect has made sure that it is there.
const SdBus& Sd() { return *Library(); }

// A failed sd-bus call; caught where a function of this file returns.
struct BusFailure {
  int error;
};

int Check(int result) {
  if (result < 0) throw BusFailure{-result};
  return result;
}

struct BusClose {
  void operator()(sd_bus* bus) const { Sd().flush_close_unref(bus); }
};
struct MessageUnref {
  void operator()(sd_bus_message* message) const { Sd().message_unref(message); }
};
using Bus = std::unique_ptr<sd_bus, BusClose>;
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

class BusError {
 public:
  BusError() = default;
  BusError(const BusError&) = delete;
  BusError& operator=(const BusError&) = delete;
  ~BusError() { Sd().error_free(&error_); }
  sd_bus_error* get() { return &error_; }
  std::string_view name() const { return error_.name ? error_.name : ""; }
  std::string message() const { return error_.message ? error_.message : ""; }

 private:
  sd_bus_error error_{nullptr, nullptr, 0};  // SD_BUS_ERROR_NULL, without its C compound literal
};

// One object of the daemon, with the properties read here.
struct Object {
  bool block = false;
  bool drive = false;
  bool loop = false;
  bool partition = false;
  std::string device;  // Block.Device
  std::uint64_t number = 0;
  std::uint64_t size = 0;
  std::string idUsage;
  std::string idType;
  std::string idLabel;
  std::string idVersion;
  std::vector<std::string> mountPoints;
  std::string driveObject;  // Block.Drive
  std::string table;        // Partition.Table
  bool removable = false;
  bool mediaRemovable = false;
  std::string connectionBus;
};
using Objects = std::map<std::string, Object>;

// Where sd-bus finds the system bus: the address in the environment, or the standard socket. With
// neither there is no bus to talk to, and the library need not be loaded at all.
bool SystemBusMayBeThere() {
  const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
  if (address && *address) return true;
  return ::access("/run/dbus/system_bus_socket", F_OK) == 0;
}

Bus Connect() {
  if (!SystemBusMayBeThere() || !Library()) throw BusFailure{ENOENT};
  sd_bus* bus = nullptr;
  Check(Sd().open_system(&bus));
  Bus owned(bus);
  Check(Sd().set_allow_interactive_authorization(bus, 1));
  return owned;
}

// A byte string property ("ay"), which UDisks2 ends with a NUL.
std::string ReadByteString(sd_bus_message* message) {
  const void* data = nullptr;
  std::size_t size = 0;
  Check(Sd().message_read_array(message, 'y', &data, &size));
  std::string text(static_cast<const char*>(data), size);
  text.resize(std::strlen(text.c_str()));
  return text;
}

std::string ReadText(sd_bus_message* message, char type) {
  const char* text = nullptr;
  Check(Sd().message_read_basic(message, type, &text));
  return text ? text : "";
}

bool ReadBool(sd_bus_message* message) {
  int value = 0;
  Check(Sd().message_read_basic(message, 'b', &value));
  return value != 0;
}

std::uint64_t ReadUint64(sd_bus_message* message) {
  std::uint64_t value = 0;
  Check(Sd().message_read_basic(message, 't', &value));
  return value;
}

// One property: the message stands before its variant.
void ReadProperty(sd_bus_message* message, std::string_view interface, std::string_view name,
                  Object& object) {
  char type = 0;
  const char* contents = nullptr;
  Check(Sd().message_peek_type(message, &type, &contents));
  const std::string_view signature = contents ? contents : "";
  const auto is = [&](const char* i, std::string_view n, std::string_view s) {
    return interface == i && name == n && signature == s;
  };
  Check(Sd().message_enter_container(message, 'v', contents));
  if (is(kBlock, "Device", "ay")) {
    object.device = ReadByteString(message);
  } else if (is(kBlock, "DeviceNumber", "t")) {
    object.number = ReadUint64(message);
  } else if (is(kBlock, "Size", "t")) {
    object.size = ReadUint64(message);
  } else if (is(kBlock, "IdUsage", "s")) {
    object.idUsage = ReadText(message, 's');
  } else if (is(kBlock, "IdType", "s")) {
    object.idType = ReadText(message, 's');
  } else if (is(kBlock, "IdLabel", "s")) {
    object.idLabel = ReadText(message, 's');
  } else if (is(kBlock, "IdVersion", "s")) {
    object.idVersion = ReadText(message, 's');
  } else if (is(kFilesystem, "MountPoints", "aay")) {
    Check(Sd().message_enter_container(message, 'a', "ay"));
    while (Check(Sd().message_at_end(message, 0)) == 0) {
      object.mountPoints.push_back(ReadByteString(message));
    }
    Check(Sd().message_exit_container(message));
  } else if (is(kBlock, "Drive", "o")) {
    object.driveObject = ReadText(message, 'o');
  } else if (is(kPartition, "Table", "o")) {
    object.table = ReadText(message, 'o');
  } else if (is(kDrive, "Removable", "b")) {
    object.removable = ReadBool(message);
  } else if (is(kDrive, "MediaRemovable", "b")) {
    object.mediaRemovable = ReadBool(message);
  } else if (is(kDrive, "ConnectionBus", "s")) {
    object.connectionBus = ReadText(message, 's');
  } else {
    Check(Sd().message_skip(message, contents));
  }
  Check(Sd().message_exit_container(message));
}

// ObjectManager.GetManagedObjects: a{oa{sa{sv}}}.
Objects ManagedObjects(sd_bus* bus) {
  BusError error;
  sd_bus_message* reply = nullptr;
  Check(Sd().call_method(bus, kService, kManagerPath, "org.freedesktop.DBus.ObjectManager",
                         "GetManagedObjects", error.get(), &reply, ""));
  const Message owned(reply);
  Objects objects;
  Check(Sd().message_enter_container(reply, 'a', "{oa{sa{sv}}}"));
  while (Check(Sd().message_enter_container(reply, 'e', "oa{sa{sv}}")) > 0) {
    Object& object = objects[ReadText(reply, 'o')];
    Check(Sd().message_enter_container(reply, 'a', "{sa{sv}}"));
    while (Check(Sd().message_enter_container(reply, 'e', "sa{sv}")) > 0) {
      const std::string interface = ReadText(reply, 's');
      object.block |= interface == kBlock;
      object.drive |= interface == kDrive;
      object.loop |= interface == kLoop;
      object.partition |= interface == kPartition;
      Check(Sd().message_enter_container(reply, 'a', "{sv}"));
      while (Check(Sd().message_enter_container(reply, 'e', "sv")) > 0) {
        const std::string name = ReadText(reply, 's');
        ReadProperty(reply, interface, name, object);
        Check(Sd().message_exit_container(reply));
      }
      Check(Sd().message_exit_container(reply));
      Check(Sd().message_exit_container(reply));
    }
    Check(Sd().message_exit_container(reply));
    Check(Sd().message_exit_container(reply));
  }
  Check(Sd().message_exit_container(reply));
  return objects;
}

const Object* Find(const Objects& objects, const std::string& path) {
  const auto found = objects.find(path);
  return found == objects.end() ? nullptr : &found->second;
}

// A loop device, or a partition of one.
bool OnLoopDevice(const Objects& objects, const Object& block) {
  if (block.loop) return true;
  const Object* table = block.partition ? Find(objects, block.table) : nullptr;
  return table && table->loop;
}

bool OnRemovableDrive(const Objects& objects, const Object& block) {
  const Object* drive = Find(objects, block.driveObject);
  if (!drive || !drive->drive) return false;
  return drive->removable || drive->mediaRemovable || drive->connectionBus == "usb" ||
         drive->connectionBus == "sdio";
}

bool Candidate(const Objects& objects, const Object& block) {
  return block.block && block.idUsage == "filesystem" &&
         (block.idType == "vfat" || block.idType == "exfat") &&
         (OnLoopDevice(objects, block) || OnRemovableDrive(objects, block));
}

// The path of the block object with the device number; empty when there is none.
std::string BlockPath(const Objects& objects, dev_t number) {
  for (const auto& [path, object] : objects) {
    if (object.block && object.number == static_cast<std::uint64_t>(number)) return path;
  }
  return {};
}

// The daemon reports a failed open(2) as "Error opening device DEVICE: " and the system's text of
// the error; the text names the error.
int ErrorOfOpen(const std::string& message, int fallback) {
  for (const int error : {EBUSY, EACCES, EPERM, EROFS, ENOENT, ENXIO, ENODEV, ENOMEDIUM}) {
    const std::string_view text = strerrordesc_np(error);
    if (message.size() >= text.size() &&
        message.compare(message.size() - text.size(), text.size(), text) == 0) {
      return error;
    }
  }
  return fallback;
}

// Calls `method` of `interface` on the block object of the device. `append` adds the arguments;
// `read` takes the reply apart.
template <typename Append, typename Read>
Outcome CallOnBlock(dev_t number, const char* interface, const char* method, Append append,
                    Read read) {
  Outcome outcome;
  try {
    const Bus bus = Connect();
    const std::string path = BlockPath(ManagedObjects(bus.get()), number);
    if (path.empty()) return outcome;
    outcome.reached = true;
    sd_bus_message* call = nullptr;
    Check(
        Sd().message_new_method_call(bus.get(), &call, kService, path.c_str(), interface, method));
    const Message ownedCall(call);
    append(call);
    BusError error;
    sd_bus_message* reply = nullptr;
    const int result = Sd().call(bus.get(), call, kInteractiveTimeoutUs, error.get(), &reply);
    const Message ownedReply(reply);
    if (result < 0) {
      outcome.notAuthorized = error.name().starts_with(kNotAuthorized);
      outcome.detail = error.message();
      outcome.error = outcome.notAuthorized ? EACCES : ErrorOfOpen(outcome.detail, -result);
      return outcome;
    }
    read(reply, outcome);
    outcome.done = true;
  } catch (const BusFailure& failure) {
    outcome.error = failure.error;
    outcome.detail = std::strerror(failure.error);
  }
  return outcome;
}

void NoOptions(sd_bus_message* call) { Check(Sd().message_append(call, "a{sv}", 0)); }

}  // namespace

std::optional<std::vector<BlockDevice>> CandidateDevices() {
  try {
    const Bus bus = Connect();
    const Objects objects = ManagedObjects(bus.get());
    std::vector<BlockDevice> devices;
    for (const auto& [path, object] : objects) {
      if (!Candidate(objects, object)) continue;
      devices.push_back({object.device, object.size, object.idLabel,
                         static_cast<dev_t>(object.number), object.idType + " " + object.idVersion,
                         object.mountPoints});
    }
    std::sort(devices.begin(), devices.end(),
              [](const auto& a, const auto& b) { return a.device < b.device; });
    return devices;
  } catch (const BusFailure&) {
    return std::nullopt;
  }
}

Outcome OpenDevice(dev_t number, Access access) {
  return CallOnBlock(
      number, kBlock, "OpenDevice",
      [&](sd_bus_message* call) {
        Check(Sd().message_append(call, "s", access == Access::kReadWrite ? "rw" : "r"));
        const int exclusive = access == Access::kReadShared ? 0 : O_EXCL;
        Check(Sd().message_append(call, "a{sv}", 1, "flags", "i", exclusive | O_DIRECT));
      },
      [](sd_bus_message* reply, Outcome& outcome) {
        int fd = -1;
        Check(Sd().message_read_basic(reply, 'h', &fd));
        // The descriptor belongs to the reply: keep a duplicate.
        outcome.fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
        if (outcome.fd < 0) throw BusFailure{errno};
      });
}

Outcome Unmount(dev_t number) {
  return CallOnBlock(number, kFilesystem, "Unmount", NoOptions, [](sd_bus_message*, Outcome&) {});
}

Outcome Mount(dev_t number) {
  return CallOnBlock(
      number, kFilesystem, "Mount", NoOptions,
      [](sd_bus_message* reply, Outcome& outcome) { outcome.mountPoint = ReadText(reply, 's'); });
}

}  // namespace kestrova::volume::udisks

namespace kestrova::volume {
namespace {

using udisks::Bus;
using udisks::BusFailure;
using udisks::Check;
using udisks::Sd;

constexpr const char* kObjectManager = "org.freedesktop.DBus.ObjectManager";

// UDisks2's objects as they come and go: a block device, its file system or its drive added or
// removed. The connection is the watch's own and stays open for as long as it lives.
class UdisksWatch final : public DriveWatch {
 public:
  explicit UdisksWatch(Bus bus) : bus_(std::move(bus)) {}

  int Fd() const override { return bus_ ? Sd().get_fd(bus_.get()) : -1; }

  bool Changed() override {
    if (!bus_) return false;
    changed_ = false;
    int result = 0;
    // Every message already read is handled too, not only those still waiting on the descriptor.
    while ((result = Sd().process(bus_.get(), nullptr)) > 0) {
    }
    if (result < 0) {
      // The connection is lost (the daemon of the bus stopped): the watch ends.
      bus_.reset();
      return true;
    }
    return changed_;
  }

  // Subscribes to both signals of the daemon's object manager, and to the changes of a block
  // device's properties and of a file system's (its label once probed, its mount points).
  void Subscribe() {
    for (const char* member : {"InterfacesAdded", "InterfacesRemoved"}) {
      Check(Sd().match_signal(bus_.get(), nullptr, udisks::kService, udisks::kManagerPath,
                              kObjectManager, member, &UdisksWatch::Signalled, this));
    }
    for (const char* interface : {udisks::kBlock, udisks::kFilesystem}) {
      const std::string rule = std::string("type='signal',sender='") + udisks::kService +
                               "',interface='org.freedesktop.DBus.Properties',member='"
                               "PropertiesChanged',arg0='" +
                               interface + "'";
      Check(Sd().add_match(bus_.get(), nullptr, rule.c_str(), &UdisksWatch::Signalled, this));
    }
  }

  sd_bus* Connection() const { return bus_.get(); }

 private:
  static int Signalled(sd_bus_message*, void* self, sd_bus_error*) {
    static_cast<UdisksWatch*>(self)->changed_ = true;
    return 0;
  }

  Bus bus_;
  bool changed_ = false;
};

}  // namespace

std::unique_ptr<DriveWatch> WatchDrives() {
  try {
    auto watch = std::make_unique<UdisksWatch>(udisks::Connect());
    watch->Subscribe();
    // The daemon must answer: without it nothing would ever be told.
    udisks::ManagedObjects(watch->Connection());
    // What came before the list was read is in that list.
    watch->Changed();
    return watch;
  } catch (const BusFailure&) {
    return nullptr;
  }
}

}  // namespace kestrova::volume
